// One feed entry as read from a feed document.
#pragma once
#include <string>

#include "com/instancecounter.h"

namespace vexa {

// Every text is UTF-8, as the reader wrapper delivers it.
struct CRssItem {
    std::string RssID;       // the record's key in the store: the title; without one, the
                             // link (else the description)
    std::string Author;
    std::string Title;
    std::string Genre;       // the entry's link
    std::string Price;
    std::string Published;
    std::string Description; // pieces joined by "\n"
    std::string Picture;     // the address of the picture the entry names; empty when none
    int NUM = -1;            // the store's count when the entry's start tag was read
    bool IsShown = false;    // a content item has been made for this record
    bool OnCard = false;     // that item is on the panel showing the entry's own picture
    int Listings = 0;        // the store's bookkeeping: feeds whose last whole read lists this entry

    vexa::InstanceCounter<CRssItem> m_live; // lets tests see that no record leaks
};

} // namespace vexa
