#include "com/dispatch.h"

#include <vector>

#include "com/check.h"
#include "com/module.h"
#include "com/owners.h"

namespace vexa {
namespace {

struct CachedInfo {
    IID iid;
    ITypeInfo* info;
};

// Guards the first loading of each type information; the cache lives until module unload.
struct TypeInfoCache {
    CriticalSection lock;
    std::vector<CachedInfo> entries;
    bool termRegistered = false;
};

TypeInfoCache& Cache()
{
    // Never destroyed: the termination list releases its entries while COM still runs.
    static TypeInfoCache* cache = new TypeInfoCache;
    return *cache;
}

void ReleaseCache(void*)
{
    TypeInfoCache& cache = Cache();
    auto held = cache.lock.Lock();
    for (CachedInfo& entry : cache.entries)
        entry.info->Release();
    cache.entries.clear();
    cache.termRegistered = false;
}

// Adds an entry (the cache takes over the reference) and registers the cache's release.
HRESULT AddEntry(TypeInfoCache& cache, REFIID iid, ITypeInfo* info) noexcept
{
    VEXA_TRY
    cache.entries.push_back({iid, info});
    if (!cache.termRegistered)
        cache.termRegistered = Module::AddTermFunc(ReleaseCache, nullptr);
    return S_OK;
    VEXA_COM_CATCH
}

ITypeInfo* Find(TypeInfoCache& cache, REFIID iid)
{
    for (CachedInfo& entry : cache.entries)
        if (IsEqualIID(entry.iid, iid)) return entry.info;
    return nullptr;
}

} // namespace

HRESULT GetCachedTypeInfo(REFGUID libid, REFIID iid, LCID lcid, ITypeInfo** info) noexcept
{
    if (!info) return E_POINTER;
    *info = nullptr;
    TypeInfoCache& cache = Cache();
    auto held = cache.lock.Lock();
    HRESULT hr = S_OK;
    ITypeInfo* found = Find(cache, iid);
    if (!found) {
        com_ptr<ITypeLib> lib;
        hr = LoadRegTypeLib(libid, 1, 0, lcid, lib.put());
        com_ptr<ITypeInfo> loaded;
        if (VEXA_OK(hr)) hr = lib->GetTypeInfoOfGuid(iid, loaded.put());
        if (VEXA_OK(hr)) hr = AddEntry(cache, iid, loaded.get());
        if (VEXA_OK(hr)) found = loaded.detach();
    }
    if (found) {
        found->AddRef();
        *info = found;
    }
    return hr;
}

} // namespace vexa
