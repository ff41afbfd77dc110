// One address of the feed list, converted once: its key and its wire form.
#include "plugin/feedaddress.h"

#include <utility>

#include "format/utf8.h"
#include "plugin/textconvert.h"

namespace vexa {

FeedAddress::FeedAddress(const std::string& utf8)
    : listed(utf::FromUtf8<wchar_t>(utf8)), key(utf8), wire(utf::WireAddress<wchar_t>(utf8, utf::kAddressLimit))
{
}

bool FeedAddress::FromList(const std::wstring& listed, FeedAddress& address)
{
    std::string key;
    if (!NarrowUtf8(listed, key))
        return false;
    address.wire = utf::WireAddress<wchar_t>(key, utf::kAddressLimit);
    address.key = std::move(key);
    address.listed = listed;
    return true;
}

} // namespace vexa
