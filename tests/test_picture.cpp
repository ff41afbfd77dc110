// Pictures through the platform's imaging component: every kind a feed names decodes, hostile
// bytes are refused before a decoder sees them, and the card's fitting keeps the centre.
#include <windows.h>
#include <wincodec.h>
#include <memory>
#include <sstream>
#include <thread>
#include <string>

#include <gtest/gtest.h>

#include "com/ptr.h"
#include "format/entrypicture.h"
#include "format/picture.h"
#include "format/pictureguard.h"
#include "net/httpfetch.h"
#include "plugin/cardpicture.h"
#include "plugin/entrypictures.h"
#include "store/picturecache.h"
#include "tests/support/httpserver.h"
#include "tests/support/pictures.h"
#include "tests/support/processusage.h"

using namespace vexa;
using vexatest::Encode;
using vexatest::Halves;

namespace {

std::string Be32(std::uint32_t v) { return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)}; }

TEST(Picture, EveryKindDecodesToItsSize)
{
    const Pixels source = Halves(48, 30);
    const std::string png = Encode(source, GUID_ContainerFormatPng);
    ASSERT_FALSE(png.empty());
    const struct { const char* name; std::string bytes; PictureKind kind; } rows[] = {
        {"png", png, PictureKind::Png},
        {"bmp", Encode(source, GUID_ContainerFormatBmp), PictureKind::Bmp},
        {"jpeg", Encode(source, GUID_ContainerFormatJpeg), PictureKind::Jpeg},
        {"gif", Encode(source, GUID_ContainerFormatGif), PictureKind::Gif},
        {"ico holding a png", vexatest::Icon({png}), PictureKind::Ico},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_FALSE(row.bytes.empty()) << "the platform encodes it";
        EXPECT_EQ(row.kind, SniffPicture(row.bytes.data(), row.bytes.size()));
        Pixels out;
        ASSERT_EQ(PictureVerdict::Decoded, DecodePicture(row.bytes.data(), row.bytes.size(), out));
        EXPECT_EQ(48, out.width);
        EXPECT_EQ(30, out.height);
        EXPECT_GT(out.data[5 * 48 + 2] >> 16 & 0xff, 0xe0u) << "the left half stays red (JPEG: nearly)";
        EXPECT_GT(out.data[5 * 48 + 45] & 0xff, 0xe0u) << "the right half stays blue";
    }
}

TEST(Picture, HostileBytesAreRefusedBeforeDecoding)
{
    const std::string png = Encode(Halves(16, 16), GUID_ContainerFormatPng);
    const std::string bombPng = png.substr(0, 16) + Be32(5000) + Be32(5000) + png.substr(24);
    std::string bmp = Encode(Halves(8, 8), GUID_ContainerFormatBmp);
    bmp.replace(18, 8, std::string("\x10\x27\0\0\x10\x27\0\0", 8)); // 10000 x 10000
    // A small logical screen whose one image descriptor is 20000 x 20000.
    const std::string gif = std::string("GIF89a\x10\0\x10\0\0\0\0", 13) + std::string("\x2c\0\0\0\0\x20\x4e\x20\x4e\0\x02\0;", 13);
    const std::string jpeg = std::string("\xff\xd8\xff\xc0\0\x11\x08\x23\x28\x23\x28\x03", 12) + std::string(40, '\0');
    const struct { const char* name; std::string bytes; PictureVerdict verdict; } rows[] = {
        {"empty", "", PictureVerdict::NotAPicture},
        {"svg", "<?xml version=\"1.0\"?>\n<svg xmlns=\"http://www.w3.org/2000/svg\"/>", PictureVerdict::NotAPicture},
        {"html", "<!DOCTYPE html><html><body>404</body></html>", PictureVerdict::NotAPicture},
        {"png of 25 megapixels", bombPng, PictureVerdict::TooLarge},
        {"bmp of 100 megapixels", bmp, PictureVerdict::TooLarge},
        {"gif frame beyond its screen", gif, PictureVerdict::TooLarge},
        {"jpeg of 81 megapixels", jpeg, PictureVerdict::TooLarge},
        {"png cut in half", png.substr(0, png.size() / 2), PictureVerdict::Broken},
        {"png signature then noise", png.substr(0, 8) + std::string(200, '\x5a'), PictureVerdict::Broken},
        {"ico whose png lies", vexatest::Icon({bombPng}), PictureVerdict::TooLarge},
    };
    for (const auto& row : rows) {
        Pixels out;
        EXPECT_EQ(row.verdict, DecodePicture(row.bytes.data(), row.bytes.size(), out)) << row.name;
        EXPECT_TRUE(out.data.empty()) << row.name;
    }
}

// Every header a decoder reads is read first: each size of an icon's bitmap header, every
// frame of a GIF, a PNG's data inflated, a JPEG's scans counted. An icon goes to the decoder
// as its largest entry only.
TEST(Picture, TheGuardReadsEveryHeaderTheDecoderReads)
{
    using vexatest::Icon;
    using vexatest::IconBitmap;
    using vexatest::RawPng;
    const std::string png = Encode(Halves(48, 30), GUID_ContainerFormatPng);
    const std::string gif = Encode(Halves(1000, 1000), GUID_ContainerFormatGif), small = Encode(Halves(8, 8), GUID_ContainerFormatGif);
    const std::string rows = [] { std::string r; for (int y = 0; y < 3; ++y) r += '\0' + std::string(12, '\x7f'); return r; }();
    std::string scans("\xff\xd8\xff\xc2\0\x0b\x08\0\x10\0\x10\x01\x01\x11\0", 15);
    for (int i = 0; i <= static_cast<int>(kMaxJpegScans); ++i) scans += std::string("\xff\xda\0\x08\x01\x01\0\0\x3f\0\x12", 11);
    scans += "\xff\xd9";
    const std::size_t bits48x30 = 48 * 30 * 4 + 8 * 30; // rows and mask
    const struct { const char* name; std::string bytes; PictureVerdict verdict; int w, h; } cases[] = {
        {"icon, 12-byte header of 32768 x 32767", Icon({IconBitmap(12, 32768, 65534, 200)}), PictureVerdict::TooLarge},
        {"icon, 40-byte header of 32768 x 32768", Icon({IconBitmap(40, 32768, 65536, 200)}), PictureVerdict::TooLarge},
        {"icon, 64-byte header of 32768 x 32768", Icon({IconBitmap(64, 32768, 65536, 200)}), PictureVerdict::TooLarge},
        {"icon, 108-byte header of 32768 x 32768", Icon({IconBitmap(108, 32768, 65536, 100)}), PictureVerdict::TooLarge},
        {"icon, 124-byte header of 32768 x 32768", Icon({IconBitmap(124, 32768, 65536, 100)}), PictureVerdict::TooLarge},
        {"icon, a small entry and a huge one", Icon({IconBitmap(40, 16, 32, 16 * 16 * 4 + 64), IconBitmap(124, 32768, 65536, 64)}), PictureVerdict::TooLarge},
        {"icon whose largest bitmap is cut", Icon({IconBitmap(40, 16, 32, 16 * 16 * 4 + 64), IconBitmap(40, 48, 60, bits48x30 - 1)}), PictureVerdict::Broken},
        {"icon of an unknown header size", Icon({IconBitmap(20, 16, 32, 16 * 16 * 4 + 64)}), PictureVerdict::Broken},
        {"icon: its largest bitmap entry", Icon({IconBitmap(40, 16, 32, 16 * 16 * 4 + 64), IconBitmap(124, 48, 60, bits48x30)}), PictureVerdict::Decoded, 48, 30},
        {"icon: its largest entry, a png", Icon({IconBitmap(40, 16, 32, 16 * 16 * 4 + 64), png}), PictureVerdict::Decoded, 48, 30},
        {"gif of 17 frames of a megapixel", vexatest::GifFrames(gif, 17), PictureVerdict::TooLarge},
        {"gif of 65 frames", vexatest::GifFrames(small, 65), PictureVerdict::TooLarge},
        {"gif of 64 frames", vexatest::GifFrames(small, 64), PictureVerdict::Decoded, 8, 8},
        {"png whose data fills it", RawPng(4, 3, rows), PictureVerdict::Decoded, 4, 3},
        {"png whose data is a byte short", RawPng(4, 3, rows.substr(1)), PictureVerdict::Broken},
        {"png whose data is a byte long", RawPng(4, 3, rows + '\0'), PictureVerdict::Broken},
        {"png with an unknown row filter", RawPng(4, 3, rows.substr(0, 13) + '\x05' + rows.substr(14)), PictureVerdict::Broken},
        {"png with a wrong data checksum", RawPng(4, 3, rows, false), PictureVerdict::Broken},
        {"jpeg of too many scans", scans, PictureVerdict::TooLarge},
    };
    for (const auto& row : cases) {
        Pixels out;
        EXPECT_EQ(row.verdict, DecodePicture(row.bytes.data(), row.bytes.size(), out)) << row.name;
        EXPECT_EQ(row.w, out.width) << row.name;
        EXPECT_EQ(row.h, out.height) << row.name;
    }
}

// Data that cannot fill its image makes the platform's GIF decoder (and its PNG decoder on x64)
// keep the image's memory: such files are refused before it sees them, and decoding them over
// and over holds nothing.
TEST(Picture, PicturesWhoseDataCannotFillTheImageAreRefusedAndCostNothing)
{
    const std::string gif = Encode(Halves(300, 200), GUID_ContainerFormatGif);
    std::size_t image = 13; // the first image descriptor, after the colour table and extensions
    if (gif[10] & 0x80) image += 3u << ((gif[10] & 7) + 1);
    for (; gif[image] == 0x21; ++image)
        for (image += 2; gif[image]; image += 1 + static_cast<unsigned char>(gif[image])) {}
    std::string wide = gif;
    wide[image + 6] = 0x03; // 300 becomes 812 wide: the data fills a third of it
    std::string png = Encode(Halves(300, 1200), GUID_ContainerFormatPng), flipped = png;
    flipped[png.size() / 2] ^= 0x10;
    const std::string row = '\0' + std::string(3 * 4000, '\x40'); // one row of 4000 x 4000, checksums right
    for (const std::string& bytes : {wide, gif.substr(0, gif.size() * 2 / 3), flipped, png.substr(0, png.size() - 12),
                                     vexatest::RawPng(4000, 4000, row)}) {
        Pixels out;
        ASSERT_EQ(PictureVerdict::Broken, DecodePicture(bytes.data(), bytes.size(), out));
        const SIZE_T before = vexatest::PrivateBytes();
        for (int i = 0; i < 60; ++i) DecodePicture(bytes.data(), bytes.size(), out);
        EXPECT_LT(vexatest::PrivateBytes(), before + (1u << 20));
    }
    for (const std::string& whole : {gif, png}) {
        Pixels out;
        EXPECT_EQ(PictureVerdict::Decoded, DecodePicture(whole.data(), whole.size(), out)) << "the whole file still decodes";
    }
}

// Decoding is bounded: two at once in the process, and a decode past its CPU time is given up.
TEST(Picture, DecodesAreBoundedInNumberAndTime)
{
    const std::string png = Encode(Halves(1500, 1500), GUID_ContainerFormatPng);
    Pixels out;
    EXPECT_EQ(PictureVerdict::TooSlow, DecodePicture(png.data(), png.size(), out, 1));
    EXPECT_TRUE(out.data.empty());
    EntryPictures::MostDecodesAtOnce();
    std::vector<std::thread> threads;
    std::vector<std::string> cards(6);
    for (std::string& card : cards) threads.emplace_back([&] { card = WorkPicture(png); });
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(2, EntryPictures::MostDecodesAtOnce());
    for (const std::string& card : cards) EXPECT_FALSE(card.empty()) << "each waited for its turn";
}

TEST(Picture, FittingKeepsTheCentreSquare)
{
    // 200 x 100: the centre square spans x 50..149, red then blue at its middle.
    for (const auto& [w, side] : {std::pair{200, 64}, {200, 128}, {20, 64}}) {
        const Pixels fitted = FitPicture(Halves(w, w / 2), side);
        ASSERT_EQ(side, fitted.width);
        ASSERT_EQ(static_cast<std::size_t>(side) * side, fitted.data.size());
        EXPECT_EQ(0xffff0000u, fitted.data[side / 2 * side + 2]) << w << " to " << side;
        EXPECT_EQ(0xff0000ffu, fitted.data[side / 2 * side + side - 3]) << w << " to " << side;
        const std::uint32_t middle = fitted.data[side / 2 * side + side / 2];
        EXPECT_GT(middle >> 16 & 0xff, 0u) << "the seam is blended";
    }
    EXPECT_TRUE(FitPicture(Pixels{}, 64).data.empty());
}


TEST(PictureCache, KeepsTheRecentlyUsedWithinItsBudgetAndForgetsFailuresAfterAnHour)
{
    const auto card = [](int side) { return PictureCache::Card{FitPicture(Halves(side, side), side), {}}; };
    PictureCache cache(3 * 64 * 64 * 4); // three cards of 64 x 64
    for (const char* a : {"a", "b", "c"}) cache.Put(a, card(64));
    ASSERT_NE(nullptr, cache.Find("a")); // "b" is now the least recently used
    cache.Put("d", card(64));
    EXPECT_EQ(nullptr, cache.Find("b"));
    for (const char* kept : {"a", "c", "d"}) EXPECT_NE(nullptr, cache.Find(kept)) << kept;
    EXPECT_EQ(3u * 64 * 64 * 4, cache.Bytes());
    cache.Put("huge", card(128)); // larger than the budget: not kept, nothing let go
    EXPECT_EQ(nullptr, cache.Find("huge"));
    EXPECT_EQ(3u, cache.Count());

    EXPECT_FALSE(cache.Wanted("a", 0));
    EXPECT_TRUE(cache.Wanted("e", 1000));
    cache.Fail("e", 1000);
    EXPECT_FALSE(cache.Wanted("e", 1000 + PictureCache::kFailureMs - 1));
    EXPECT_TRUE(cache.Wanted("e", 1000 + PictureCache::kFailureMs));
}


TEST(CardPicture, OwnsABitmapOfThePixelsOverTheBackground)
{
    com_ptr<IPicture> picture;
    const Pixels pixels{2, 1, {0x00000000u, 0xffff0000u, }};
    ASSERT_EQ(S_OK, MakeCardPicture(pixels, RGB(255, 255, 255), picture));
    SHORT type = 0;
    OLE_HANDLE handle = 0;
    ASSERT_EQ(S_OK, picture->get_Type(&type));
    EXPECT_EQ(PICTYPE_BITMAP, type);
    ASSERT_EQ(S_OK, picture->get_Handle(&handle));
    DIBSECTION dib{};
    ASSERT_EQ(static_cast<int>(sizeof dib), GetObject(reinterpret_cast<HBITMAP>(static_cast<UINT_PTR>(handle)), sizeof dib, &dib));
    const auto* bits = static_cast<const std::uint32_t*>(dib.dsBm.bmBits);
    EXPECT_EQ(0xffffffffu, bits[0]) << "a clear pixel shows the background";
    EXPECT_EQ(0xffff0000u, bits[1]);
    EXPECT_EQ(E_INVALIDARG, MakeCardPicture(Pixels{}, 0, picture));
    EXPECT_FALSE(picture);
}


// One entry's events: "ns|name attr=value attr=value" at a depth below the entry, or
// "text:..." (an image child's text) or "markup:..." (its description).
std::string ChoosePicture(std::initializer_list<std::pair<int, std::string>> events)
{
    EntryPicture chooser;
    for (const auto& [below, event] : events) {
        if (event.rfind("text:", 0) == 0) { chooser.OnImageText(event.substr(5)); continue; }
        if (event.rfind("markup:", 0) == 0) { chooser.OnMarkup(event.substr(7)); continue; }
        XmlElement e;
        std::istringstream words(event);
        std::string word;
        words >> word;
        const std::size_t bar = word.find('|');
        e.ns = bar == std::string::npos ? "" : word.substr(0, bar);
        e.name = word.substr(bar == std::string::npos ? 0 : bar + 1);
        while (words >> word) e.attributes.emplace_back(word.substr(0, word.find('=')), word.substr(word.find('=') + 1));
        chooser.OnElement(e, below);
    }
    return chooser.Chosen("http://feeds.example/news/feed.xml");
}

TEST(EntryPicture, TakesTheBestPlaceAFeedPutsOne)
{
    const std::string m = "http://search.yahoo.com/mrss/|", it = "http://www.itunes.com/dtds/podcast-1.0.dtd|";
    const std::string img = "markup:<p>Hi <img width=\"1\" height=\"1\" src=\"/pixel.gif\"><IMG class=x SRC='a.jpg?w=1&amp;h=2'></p>";
    const struct { const char* name; std::string chosen; std::string expected; } rows[] = {
        {"thumbnail first, the widest that fits",
         ChoosePicture({{1, m + "thumbnail url=small.jpg width=120"}, {1, m + "thumbnail url=huge.jpg width=4000"},
                        {1, m + "thumbnail url=big.jpg width=640"}, {1, "enclosure url=e.jpg type=image/jpeg"}}),
         "http://feeds.example/news/big.jpg"},
        {"media content in a group, an image medium",
         ChoosePicture({{1, img}, {2, m + "content url=v.mp4 type=video/mp4"}, {2, m + "content url=/p.png medium=image"}}),
         "http://feeds.example/p.png"},
        {"podcast image over an enclosure",
         ChoosePicture({{1, "enclosure url=http://c.example/e.jpg type=image/jpeg"}, {1, it + "image href=https://c.example/art.png"}}),
         "https://c.example/art.png"},
        {"enclosure of an image type, not audio",
         ChoosePicture({{1, "enclosure url=a.mp3 type=audio/mpeg"}, {1, "enclosure url=e.jpg type=image/jpeg"}}),
         "http://feeds.example/news/e.jpg"},
        {"an image child's url text", ChoosePicture({{1, "text: http://i.example/x.gif "}}), "http://i.example/x.gif"},
        {"the first img past the tracker", ChoosePicture({{1, img}}), "http://feeds.example/news/a.jpg?w=1&h=2"},
        {"svg and other schemes are passed over",
         ChoosePicture({{1, "enclosure url=logo.svg type=image/svg+xml"}, {1, "image url=ftp://x.example/a.png"},
                        {1, "markup:<img src=\"data:image/png;base64,AAAA\">"}}),
         ""},
        {"none", ChoosePicture({{1, "title"}}), ""},
    };
    for (const auto& row : rows) EXPECT_EQ(row.expected, row.chosen) << row.name;
}


// Eleven feeds of 25 pictures on one slow server: 20 pending a feed, 200 in all, and only the
// downloads that can start (three to one server) have a thread.
TEST(EntryPictures, PendingPicturesAreBoundedAndOnlyThoseThatCanStartHaveAThread)
{
    vexatest::HttpServer server;
    ASSERT_TRUE(server.Start());
    vexatest::HttpServer::Reply slow{200, "x", "image/png"};
    slow.latencyMs = 1000;
    const DWORD wait = EntryPictures::SetWait(0);
    std::vector<std::unique_ptr<CRssItem>> owned;
    {
        EntryPictures pictures;
        for (int f = 0; f < 11; ++f) {
            std::vector<CRssItem*> records;
            for (int i = 0; i < 25; ++i) {
                const std::string path = "/p/" + std::to_string(f) + "-" + std::to_string(i) + ".png";
                server.Serve(path, slow);
                owned.push_back(std::make_unique<CRssItem>());
                owned.back()->RssID = path;
                owned.back()->Picture = server.Url(path);
                owned.back()->NUM = i;
                records.push_back(owned.back().get());
            }
            pictures.Fetch(records, "feed " + std::to_string(f), GetTickCount64());
            EXPECT_EQ(std::min<std::size_t>(20 * (f + 1), 200), pictures.Pending());
        }
        EXPECT_EQ(EntryPictures::kRunningPerServer, pictures.Running());
        EXPECT_EQ(static_cast<long>(EntryPictures::kRunningPerServer), FetchJob::LiveWorkers());
    }
    EntryPictures::SetWait(wait);
    EXPECT_TRUE(FetchJob::WaitForWorkers(10000));
    server.Stop();
}

} // namespace
