// The picture an entry names, chosen among the places feeds put one, best first: a media
// thumbnail (the largest that fits), a media content of an image medium or type, a podcast
// image, an enclosure of an image type, an image child with an address, the first <img> of
// the entry's markup (not a tracker or icon under 32 pixels where its size is given). Plain C++.
#pragma once
#include <string>

#include "format/xmlevents.h"

namespace vexa {

class EntryPicture {
public:
    // Thumbnails wider than this are passed over for a smaller one (they are fitted to a card).
    static constexpr int kWidestThumbnail = 1024;
    // Smaller given sizes are trackers and icons.
    static constexpr int kSmallestSide = 32;
    static constexpr std::size_t kLongestAddress = 2048;

    void Reset();
    // An element inside the entry, `below` levels under it (1: the entry's own child).
    void OnElement(const XmlElement& element, int below);
    // The text of an entry's image child, or of that child's url child.
    void OnImageText(const std::string& text);
    // An entry's description or content, as markup.
    void OnMarkup(const std::string& html);
    // The chosen picture's address resolved against `base`: http and https only; empty when
    // the entry names none.
    std::string Chosen(const std::string& base) const;

private:
    enum Rank { Thumbnail, MediaContent, PodcastImage, Enclosure, ImageChild, MarkupImage, kRanks };
    void Offer(Rank rank, const std::string* address);

    std::string m_candidates[kRanks];
    int m_thumbnailWidth = -1; // the chosen thumbnail's width (0 when not given)
};

} // namespace vexa
