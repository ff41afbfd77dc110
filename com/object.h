// Object base: an ordered interface table walked by one QueryInterface, an optional
// delegation entry for an aggregated inner object, and support for being aggregated.
//
// Every object has a non-delegating IUnknown (the inner unknown) and a controlling
// unknown. Standing alone, the controlling unknown is the object's own identity, the first
// entry of its table; aggregated, it is the outer object. The IUnknown methods of the
// object's interfaces go to the controlling unknown (VEXA_IUNKNOWN_DELEGATING).
#pragma once
#include <windows.h>
#include <unknwn.h>
#include <cstddef>
#include <new>
#include <type_traits>
#include <utility>

#include "com/check.h"
#include "com/module.h"
#include "com/ptr.h"

namespace vexa {

struct InterfaceEntry {
    const IID* iid;
    std::ptrdiff_t offset; // of the interface within the object
};

// Offset of the Iface base from the object root of Class (where the table is walked from).
template <typename Class, typename Iface>
std::ptrdiff_t InterfaceOffset() noexcept
{
    // Any non-null address works: only the difference is kept.
    Class* object = reinterpret_cast<Class*>(0x1000);
    return reinterpret_cast<char*>(static_cast<Iface*>(object)) -
           reinterpret_cast<char*>(static_cast<typename Class::RootType*>(object));
}

// What every interface of a table must be, checked where the table is written, in both
// builds: a pure interface (one vtable pointer, no data) that derives from IUnknown, declared
// with the COM calling convention. The interfaces come from IDL headers, which declare every
// method STDMETHODCALLTYPE; that is __stdcall on x86 (x64 has one convention), and the
// compiler refuses an override whose convention differs from the interface's, so every
// method that a table hands out is __stdcall.
static_assert(std::is_same<void(STDMETHODCALLTYPE*)(), void(__stdcall*)()>::value,
              "COM methods must be __stdcall");
template <typename Class, typename Iface>
constexpr bool IsComInterfaceOf() noexcept
{
    static_assert(std::is_base_of<IUnknown, Iface>::value, "a table entry must be a COM interface");
    static_assert(std::is_base_of<Iface, Class>::value, "a table entry must be a base of its class");
    static_assert(std::is_abstract<Iface>::value && sizeof(Iface) == sizeof(void*),
                  "a table entry must be a pure interface: one vtable pointer, no data");
    static_assert(std::is_same<decltype(&Iface::AddRef), ULONG(STDMETHODCALLTYPE IUnknown::*)()>::value &&
                  std::is_same<decltype(&Iface::Release), ULONG(STDMETHODCALLTYPE IUnknown::*)()>::value,
                  "a table entry's IUnknown must be the COM one");
    return true;
}

// {&IID, offset}: Iface is the base class that answers the IID.
#define VEXA_INTERFACE(Class, iid, Iface)                                                          \
    ::vexa::InterfaceEntry{ (static_cast<void>(::std::integral_constant<bool,                      \
                                 ::vexa::IsComInterfaceOf<Class, Iface>()>::value), &(iid)),        \
                            ::vexa::InterfaceOffset<Class, Iface>() }

// Hands out a class's interface table with its length, which the compiler counts.
template <std::size_t N>
const InterfaceEntry* InterfaceTable(const InterfaceEntry (&table)[N], std::size_t* count) noexcept
{
    *count = N;
    return table;
}

// Walks a table: IUnknown is answered by the first entry; a miss clears *ppv and gives
// E_NOINTERFACE. The pointer handed out is AddRef'd.
HRESULT QueryInterfaceTable(void* self, const InterfaceEntry* table, std::size_t count,
                            REFIID riid, void** ppv) noexcept;

// Lock policies: what every live object holds. Vexa's objects hold the module lock.
struct NoLock {};

template <typename LockPolicy>
class ObjectRootT {
public:
    using RootType = ObjectRootT;
    ObjectRootT(const ObjectRootT&) = delete;
    ObjectRootT& operator=(const ObjectRootT&) = delete;

    IUnknown* InnerUnknown() noexcept { return &m_inner; }
    bool IsAggregated() const noexcept { return m_outer != nullptr; }

    // The unknown that outsiders see: the outer object when aggregated, else our identity.
    IUnknown* ControllingUnknown() noexcept
    {
        if (m_outer) return m_outer;
        std::size_t count = 0;
        const InterfaceEntry* table = Interfaces(&count);
        return reinterpret_cast<IUnknown*>(reinterpret_cast<char*>(this) + table[0].offset);
    }

    HRESULT InnerQueryInterface(REFIID riid, void** ppv) noexcept
    {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (m_outer && IsEqualIID(riid, IID_IUnknown)) {
            *ppv = &m_inner;
            m_inner.AddRef();
            return S_OK;
        }
        std::size_t count = 0;
        const InterfaceEntry* table = Interfaces(&count);
        HRESULT hr = QueryInterfaceTable(this, table, count, riid, ppv);
        if (hr == E_NOINTERFACE)
            hr = QueryDelegate(riid, ppv);
        return hr;
    }
    ULONG InnerAddRef() noexcept { return ++m_refs; }
    ULONG InnerRelease() noexcept
    {
        ULONG refs = --m_refs;
        if (refs == 0) {
            m_refs = 1; // keeps re-entrant releases in the destructor from deleting twice
            delete this;
        }
        return refs;
    }

protected:
    explicit ObjectRootT(IUnknown* outer) noexcept : m_inner(this), m_outer(outer) {}
    virtual ~ObjectRootT() = default;

    // The class's interface table, in QueryInterface order.
    virtual const InterfaceEntry* Interfaces(std::size_t* count) noexcept = 0;
    // The delegation entry: asked for whatever the table does not answer.
    virtual HRESULT QueryDelegate(REFIID, void** ppv) noexcept
    {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }

    IUnknown* OuterForDelegation() noexcept { return m_outer ? m_outer : &m_inner; }

private:
    struct Inner final : IUnknown {
        explicit Inner(ObjectRootT* owner) noexcept : owner(owner) {}
        STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override { return owner->InnerQueryInterface(riid, ppv); }
        STDMETHODIMP_(ULONG) AddRef() override { return owner->InnerAddRef(); }
        STDMETHODIMP_(ULONG) Release() override { return owner->InnerRelease(); }
        ObjectRootT* owner;
    };

    Inner m_inner;
    IUnknown* m_outer;
    ULONG m_refs = 0; // apartment-threaded: a plain counter
    LockPolicy m_lock;
};

using ObjectRoot = ObjectRootT<ModuleLock>;

// The delegation entry of an object that hands unknown interfaces to an aggregated inner
// object of class clsid: the inner object is created on the first request (outer being the
// controlling unknown, in-process, asked for IUnknown) and held in inner; a failed creation
// leaves inner null and is tried again at the next request. Whatever the inner object does
// not answer, or an inner object that could not be made, gives E_NOINTERFACE.
HRESULT QueryAggregated(REFCLSID clsid, IUnknown* outer, com_ptr<IUnknown>& inner, REFIID riid,
                        void** ppv) noexcept;
// The same, with the inner object made by `factory` (the class object of clsid, kept by the
// caller so that each of many objects does not look the class up again); a null factory
// makes it as above.
HRESULT QueryAggregated(IClassFactory* factory, REFCLSID clsid, IUnknown* outer, com_ptr<IUnknown>& inner,
                        REFIID riid, void** ppv) noexcept;

// Creates an instance of T (constructor T(IUnknown* outer)) and asks it for riid, as a class
// object does: with an outer unknown only IUnknown may be asked for, and the inner unknown
// is handed out. An instance that cannot answer is destroyed again.
template <typename T>
HRESULT CreateComInstance(IUnknown* outer, REFIID riid, void** ppv) noexcept
{
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (outer && !IsEqualIID(riid, IID_IUnknown)) return CLASS_E_NOAGGREGATION;
    // A constructor that throws (out of memory in a member) gives its HRESULT, reported.
    VEXA_TRY
    IUnknown* inner = (new T(outer))->InnerUnknown();
    inner->AddRef();
    HRESULT hr = inner->QueryInterface(riid, ppv);
    inner->Release();
    return hr;
    VEXA_COM_CATCH
}

} // namespace vexa

// The IUnknown methods of every interface of an ObjectRootT-derived class.
#define VEXA_IUNKNOWN_DELEGATING                                                           \
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override                          \
    {                                                                                      \
        return OuterForDelegation()->QueryInterface(riid, ppv);                            \
    }                                                                                      \
    STDMETHODIMP_(ULONG) AddRef() override { return OuterForDelegation()->AddRef(); }      \
    STDMETHODIMP_(ULONG) Release() override { return OuterForDelegation()->Release(); }
