// The COM support layer: check texts, owners, interface tables and aggregation.
#include <windows.h>
#include <ocidl.h>

#include <gtest/gtest.h>

#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "com/check.h"
#include "com/object.h"
#include "com/owners.h"
#include "com/ptr.h"
#include "tests/support/fixtures.h"

using vexa::com_ptr;

namespace {

// A small object with two interfaces and a delegation entry that answers IPersist.
class Sample : public IPersistStreamInit, public IObjectWithSite, public vexa::ObjectRoot {
public:
    explicit Sample(IUnknown* outer) : RootType(outer) {}
    VEXA_IUNKNOWN_DELEGATING

    STDMETHODIMP GetClassID(CLSID* id) override { *id = CLSID_NULL; return S_OK; }
    STDMETHODIMP IsDirty() override { return S_FALSE; }
    STDMETHODIMP Load(IStream*) override { return E_NOTIMPL; }
    STDMETHODIMP Save(IStream*, BOOL) override { return E_NOTIMPL; }
    STDMETHODIMP GetSizeMax(ULARGE_INTEGER*) override { return E_NOTIMPL; }
    STDMETHODIMP InitNew() override { return S_OK; }
    STDMETHODIMP SetSite(IUnknown*) override { return S_OK; }
    STDMETHODIMP GetSite(REFIID, void** ppv) override { *ppv = nullptr; return E_FAIL; }

    int delegated = 0;

protected:
    const vexa::InterfaceEntry* Interfaces(std::size_t* count) noexcept override
    {
        static const vexa::InterfaceEntry table[] = {
            VEXA_INTERFACE(Sample, IID_IPersistStreamInit, IPersistStreamInit),
            VEXA_INTERFACE(Sample, IID_IObjectWithSite, IObjectWithSite),
        };
        *count = 2;
        return table;
    }
    HRESULT QueryDelegate(REFIID riid, void** ppv) noexcept override
    {
        ++delegated;
        if (IsEqualIID(riid, IID_IPersist)) {
            *ppv = static_cast<IPersist*>(static_cast<IPersistStreamInit*>(this));
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
};

ULONG RefCount(IUnknown* p)
{
    p->AddRef();
    return p->Release();
}

class ComLayer : public vexatest::VexaTest {};

// One boundary of each kind, one a line: 1 (S_OK) when the body returned.
const int kFirstBoundaryLine = __LINE__ + 1;
HRESULT ComBoundary(void (*body)()) { VEXA_COM_TRY body(); return S_OK; VEXA_COM_CATCH }
LRESULT WindowBoundary(void (*body)()) { VEXA_TRY body(); return 1; VEXA_CATCH_RETURN(0) }
int VoidBoundary(void (*body)()) { int reached = 0; VEXA_TRY body(); reached = 1; VEXA_CATCH_LOG return reached; }

// Reports as "file(line): text", the file without its folder.
std::vector<std::string> g_sited;
void CollectSited(const char* file, int line, const char* text) noexcept
{
    const std::string path(file);
    g_sited.push_back(path.substr(path.find_last_of("/\\") + 1) + "(" + std::to_string(line) + "): " + text);
}

TEST_F(ComLayer, CheckTextsAreTheExpandedChecks)
{
    struct Helper {
        HRESULT put_title(BSTR) { return E_FAIL; }
    } helperObject;
    Helper* helper = &helperObject;
    BSTR title = nullptr;
    HRESULT hr = VEXA_CHECK_HR(helper->put_title(title));
    EXPECT_EQ(hr, E_FAIL);
    void* cancel = nullptr;
    EXPECT_FALSE(VEXA_VERIFY(cancel != 0));
    EXPECT_TRUE(VEXA_VERIFY(hr != S_OK));
    hr = S_OK;
    void* spRegistration = nullptr;
    EXPECT_TRUE(VEXA_VERIFY(VEXA_FAILED(hr) || spRegistration) == false);
    EXPECT_EQ(m_channels->reports(), (std::vector<std::string>{"((HRESULT)(helper->put_title(title)) >= 0)", "cancel != 0",
                                                              "((HRESULT)(hr)<0) || spRegistration"}));
}

TEST_F(ComLayer, SuccessCodesAreNotReported)
{
    EXPECT_EQ(VEXA_CHECK_HR(S_FALSE), S_FALSE);
    EXPECT_EQ(VEXA_CHECK_HR(S_OK), S_OK);
    EXPECT_TRUE(m_channels->reports().empty());
}

TEST_F(ComLayer, BoundariesReportWhatTheyCaughtAndGiveTheirFallback)
{
    const struct {
        void (*body)();
        HRESULT hr;
        const char* what; // null: nothing reported
    } rows[] = {
        {[] {}, S_OK, nullptr},
        {[] { throw std::bad_alloc(); }, E_OUTOFMEMORY, "out of memory"},
        {[] { std::string().reserve(std::string::npos); }, E_UNEXPECTED, "basic_string::_M_create"},
        {[] { throw std::runtime_error("feed gone"); }, E_UNEXPECTED, "feed gone"},
        {[] { throw 42; }, E_UNEXPECTED, "unknown exception"},
    };
    vexa::ReportSink previous = vexa::SetReportSink(CollectSited);
    for (const auto& row : rows) {
        g_sited.clear();
        EXPECT_EQ(ComBoundary(row.body), row.hr);
        EXPECT_EQ(WindowBoundary(row.body), row.what ? 0 : 1);
        EXPECT_EQ(VoidBoundary(row.body), row.what ? 0 : 1);
        std::vector<std::string> expected;
        for (int i = 0; row.what && i < 3; ++i)
            expected.push_back("test_com.cpp(" + std::to_string(kFirstBoundaryLine + i) + "): " + row.what);
        EXPECT_EQ(g_sited, expected);
    }
    vexa::SetReportSink(previous);
}

TEST_F(ComLayer, OwnersReleaseWhatTheyHold)
{
    vexa::unique_bstr text = vexa::unique_bstr::from(L"abc");
    EXPECT_EQ(text.length(), 3u);
    EXPECT_EQ(text.str(), L"abc");
    text.reset();
    EXPECT_FALSE(text);

    vexa::unique_variant v;
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocString(L"x");
    v.reset();
    EXPECT_EQ(v.vt, VT_EMPTY);

    vexa::unique_hkey key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\OwnerTest", 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, key.put(), nullptr), ERROR_SUCCESS);
    key.reset();
    EXPECT_FALSE(key);
}

TEST_F(ComLayer, ComPtrPutReleasesTheOldReference)
{
    com_ptr<IPersistStreamInit> first;
    ASSERT_EQ(vexa::CreateComInstance<Sample>(nullptr, IID_IPersistStreamInit, first.put_void()), S_OK);
    com_ptr<IPersistStreamInit> second;
    ASSERT_EQ(vexa::CreateComInstance<Sample>(nullptr, IID_IPersistStreamInit, second.put_void()), S_OK);
    long locks = vexa::Module::LockCount();
    com_ptr<IPersistStreamInit> holder = first;
    EXPECT_EQ(RefCount(first), 2u);
    first.reset();
    // Taking the address for an out parameter releases what was held.
    IPersistStreamInit** out = &holder;
    EXPECT_EQ(*out, nullptr);
    EXPECT_EQ(vexa::Module::LockCount(), locks - 1);
    holder = second;
    holder = holder; // self-assignment keeps the reference
    EXPECT_EQ(RefCount(holder), 2u);
}

TEST_F(ComLayer, InterfaceTableIdentityAndMisses)
{
    com_ptr<IUnknown> unknown;
    ASSERT_EQ(vexa::CreateComInstance<Sample>(nullptr, IID_IUnknown, unknown.put_void()), S_OK);
    com_ptr<IPersistStreamInit> persist = vexa::query<IPersistStreamInit>(unknown.get());
    ASSERT_TRUE(persist);
    // IUnknown is answered by the first entry.
    EXPECT_EQ(static_cast<void*>(unknown.get()), static_cast<void*>(persist.get()));
    com_ptr<IObjectWithSite> site = vexa::query<IObjectWithSite>(persist.get());
    ASSERT_TRUE(site);
    com_ptr<IUnknown> again = vexa::query<IUnknown>(site.get());
    EXPECT_EQ(again.get(), unknown.get());

    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(unknown->QueryInterface(IID_IDispatch, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(unknown->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
    com_ptr<IPersist> viaDelegate = vexa::query<IPersist>(unknown.get());
    EXPECT_TRUE(viaDelegate);
}

TEST_F(ComLayer, AggregationHandsOutTheInnerUnknownAndDelegatesToTheOuter)
{
    vexatest::FakeOuter outer;
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(vexa::CreateComInstance<Sample>(&outer, IID_IPersistStreamInit, &out), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(vexa::CreateComInstance<Sample>(&outer, IID_IUnknown, nullptr), E_POINTER);
    // A constructor that runs out of memory: its HRESULT, reported, and nothing escapes.
    struct Throwing : Sample {
        explicit Throwing(IUnknown* o) : Sample(o) { throw std::bad_alloc(); }
    };
    vexa::ReportSink previous = vexa::SetReportSink(CollectSited);
    g_sited.clear();
    EXPECT_EQ(vexa::CreateComInstance<Throwing>(nullptr, IID_IUnknown, &out), E_OUTOFMEMORY);
    EXPECT_EQ(g_sited.size(), 1u);
    vexa::SetReportSink(previous);

    IUnknown* inner = nullptr;
    ASSERT_EQ(vexa::CreateComInstance<Sample>(&outer, IID_IUnknown, reinterpret_cast<void**>(&inner)), S_OK);
    outer.inner = inner;
    EXPECT_EQ(RefCount(inner), 1u);

    IPersistStreamInit* persist = nullptr;
    ASSERT_EQ(inner->QueryInterface(IID_IPersistStreamInit, reinterpret_cast<void**>(&persist)), S_OK);
    // The reference went to the outer object, not to the inner one.
    EXPECT_EQ(outer.refs, 2u);
    EXPECT_EQ(RefCount(inner), 1u);
    IUnknown* identity = nullptr;
    ASSERT_EQ(persist->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)), S_OK);
    EXPECT_EQ(identity, &outer);
    identity->Release();
    persist->Release();
    EXPECT_EQ(outer.refs, 1u);
    EXPECT_EQ(inner->Release(), 0u);
}

} // namespace
