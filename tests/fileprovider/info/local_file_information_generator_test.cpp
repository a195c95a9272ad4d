// test-labels: unit media
#include "MediaFixtures.hpp"

#include "fileprovider/info/LocalFileInformationGenerator.hpp"
#include "fileprovider/local/LocalFileProvider.hpp"
#include "platform/media/Image.hpp"
#include "platform/media/ImageSource.hpp"
#include "support/Wait.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <mutex>
#include <sys/stat.h>

// x265, which only the HEIF fixture's encoder uses, keeps one allocation past its end.
extern "C" const char* __lsan_default_suppressions() { return "leak:libx265.so\n"; }

namespace {

namespace fs = std::filesystem;
using RiridOzizevud::LocalFileInformationGenerator;
using Generator = LocalFileInformationGenerator;
using platform::Size;
using platform::URL;

fs::path dir;
bool haveHeic = false;

URL fileURL(const std::string& name) { return URL::fileURLWithPath((dir / name).string()); }

std::string text(const Generator::Properties& p, const std::string& label) {
    auto it = p.prop.find(label);
    if (it == p.prop.end()) return "<absent>";
    if (auto s = it->second.asString()) return *s;
    return it->second.description();
}

bool listed(const Generator::Properties& p, const std::string& label) {
    return std::find(p.keys.begin(), p.keys.end(), label) != p.keys.end();
}

int position(const Generator::Properties& p, const std::string& label) {
    auto it = std::find(p.keys.begin(), p.keys.end(), label);
    return it == p.keys.end() ? -1 : static_cast<int>(it - p.keys.begin());
}

class InformationGenerator : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        char tmpl[] = "/tmp/ostrane-info-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        using namespace fixtures;
        // 100 × 200: white above, red below.
        const Colour halves = [](int, int y) { return std::array<uint8_t, 4>{255, y < 100 ? uint8_t(255) : uint8_t(0), y < 100 ? uint8_t(255) : uint8_t(0), 255}; };
        writeFile(dir / "tall.png", image(AV_CODEC_ID_PNG, 100, 200, halves));
        writeFile(dir / "wide.png", image(AV_CODEC_ID_PNG, 256, 128, solid(0, 0, 255)));
        writeFile(dir / "print.png", image(AV_CODEC_ID_PNG, 16, 16, solid(0, 0, 0), 150));
        writeFile(dir / "photo.JPG", image(AV_CODEC_ID_MJPEG, 320, 240, solid(0, 200, 0)));
        addExif(dir / "photo.JPG", {{{"Exif.Image.Make", "Maker Co"},
                                     {"Exif.Image.Model", "Model 7"},
                                     {"Exif.Image.Artist", ""},
                                     {"Exif.Image.Copyright", "Someone"},
                                     {"Exif.Image.DateTime", "2020:01:02 03:04:05"},
                                     {"Exif.Image.XResolution", "300/1"},
                                     {"Exif.Image.ResolutionUnit", "2"},
                                     {"Exif.Photo.LensModel", "Lens 50"},
                                     {"Exif.Photo.FNumber", "28/10"},
                                     {"Exif.Photo.ExposureTime", "1/250"},
                                     {"Exif.Photo.FocalLength", "50/1"},
                                     {"Exif.Photo.WhiteBalance", "0"},
                                     {"Exif.Photo.ExposureProgram", "2"},
                                     {"Exif.Photo.ISOSpeedRatings", "200"},
                                     {"Exif.GPSInfo.GPSLatitudeRef", "N"},
                                     {"Exif.GPSInfo.GPSLongitudeRef", "W"},
                                     {"Exif.GPSInfo.GPSAltitude", "1234/1"}}});
        setIccProfile(dir / "photo.JPG", iccProfile("Test Profile"));
        setExifRational(dir / "photo.JPG", "Exif.GPSInfo.GPSLatitude", {{48, 1}, {51, 1}, {2952, 100}});
        setExifRational(dir / "photo.JPG", "Exif.GPSInfo.GPSLongitude", {{2, 1}, {17, 1}, {4020, 100}});
        haveHeic = heic(dir / "shot.heic", 128, 64, solid(200, 40, 40));
        writeFile(dir / "plain.bmp", image(AV_CODEC_ID_BMP, 40, 30, solid(10, 20, 30)));
        writeFile(dir / "scan.tiff", image(AV_CODEC_ID_TIFF, 60, 90, solid(255, 255, 0)));
        writeFile(dir / "anim.gif", image(AV_CODEC_ID_GIF, 50, 20, solid(255, 0, 0)));
        ico(dir / "icon.ico", 32, 32, solid(255, 0, 0));
        const Bytes cover = image(AV_CODEC_ID_PNG, 300, 150, solid(0, 0, 255));
        flac(dir / "song.flac",
             {{"title", "A Song"}, {"artist", "The Band"}, {"album", "First"}, {"location", "+48.8577+002.2950/"}},
             &cover, 300, 150);
        flac(dir / "bare.flac", {{"title", "Bare"}}, nullptr);
        movie(dir / "clip.mov", 30, true);
        movie(dir / "silent.mp4", 30, false);
        movie(dir / "turned.mov", 3, false, -90); // shown turned a quarter clockwise
        flac(dir / "high.flac", {{"location", "+48.8577+002.2950+1035.4/"}}, nullptr);
        writeFile(dir / "doc.pdf", pdf({{"Title", "A Title"},
                                        {"Author", "An Author"},
                                        {"Subject", ""},
                                        {"Keywords", "one, two"},
                                        {"Creator", "Writer"},
                                        {"CreationDate", "D:20200102030405+01'00'"}}));
        writeFile(dir / "locked.pdf", pdf({{"Title", "Hidden"}}, 612, 792, true));
        writeFile(dir / "sliver.pdf", pdf({{"Title", "Thin"}}, 612, 0));
        // Damaged and mislabelled files.
        const std::string jpeg = [] { std::ifstream in(dir / "photo.JPG", std::ios::binary); return std::string(std::istreambuf_iterator<char>(in), {}); }();
        writeFile(dir / "truncated.jpg", jpeg.substr(0, 600));
        writeFile(dir / "noise.png", std::string(4096, '\x5a'));
        writeFile(dir / "noise.mp3", std::string(4096, '\x11'));
        writeFile(dir / "noise.mov", std::string("\0\0\0\x18" "ftypqt  ", 12) + std::string(2000, '\x7f'));
        writeFile(dir / "noise.pdf", std::string("%PDF-1.4\n") + std::string(500, 'x'));
        writeFile(dir / "empty.heic", std::string());
        writeFile(dir / "notes.txt", std::string("hello"));
        // Named pipes nobody writes to.
        for (const char* name : {"pipe.png", "pipe.flac", "pipe.mov", "pipe.pdf", "pipe.heic"})
            ASSERT_EQ(mkfifo((dir / name).c_str(), 0600), 0);
        // A PNG whose header claims 60000 × 60000 pixels.
        Bytes huge = image(AV_CODEC_ID_PNG, 8, 8, solid(1, 2, 3));
        const uint8_t dims[8] = {0, 0, 0xEA, 0x60, 0, 0, 0xEA, 0x60};
        std::copy(dims, dims + 8, huge.begin() + 16);
        const uint32_t crc = ~av_crc(av_crc_get_table(AV_CRC_32_IEEE_LE), 0xFFFFFFFFu, huge.data() + 12, 17);
        for (int i = 0; i < 4; ++i) huge[29 + i] = static_cast<uint8_t>(crc >> (24 - 8 * i));
        writeFile(dir / "huge.png", huge);
    }
    static void TearDownTestSuite() { if (!getenv("KEEP_FIXTURES")) fs::remove_all(dir); }
};

// ---- Tables and the choice of generator ----

TEST_F(InformationGenerator, SupportFollowsTheTablesWhateverTheCase) {
    struct Case { const char* path; bool thumbnail; bool properties; };
    const Case cases[] = {
        {"a/photo.JPG", true, true},  {"x.jpeg", true, true},     {"icon.ico", true, false},
        {"song.MP3", true, true},     {"clip.mov", true, true},   {"doc.pdf", true, true},
        {"archive.zip", false, false}, {"notes.txt", false, false}, {"noext", false, false},
        {"dir.jpg/file", false, false}, {"trailing.", false, false},
        // A hidden name has no extension, for the support test as for the request.
        {".jpg", false, false},          {"a/.MP3", false, false}, {"a/.x.png", true, true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Generator::thumbnailOfFileSupported(c.path), c.thumbnail) << c.path;
        EXPECT_EQ(Generator::propertiesOfFileSupported(c.path), c.properties) << c.path;
    }
}

TEST_F(InformationGenerator, TablesHoldTheirEntriesInOrder) {
    EXPECT_EQ(Generator::imagePropertiesExtensions(),
              (Generator::Extensions{"heic", "jpg", "jpeg", "bmp", "gif", "png", "tif", "tiff"}));
    EXPECT_EQ(Generator::audioThumbnailExtensions().size(), 30u);
    EXPECT_EQ(Generator::videoThumbnailExtensions().size(), 14u);
    EXPECT_EQ(Generator::audioPropertiesExtensions(), Generator::audioThumbnailExtensions());
    EXPECT_TRUE(Generator::archivePropertiesExtensions().empty());
    EXPECT_FALSE(Generator::archiveProperties());
}

TEST_F(InformationGenerator, HostReplacementsAreUsedByLaterRequests) {
    const auto savedTable = Generator::customThumbnailExtensions();
    const auto savedGenerator = Generator::customThumbnail();
    Generator::setCustomThumbnailExtensions({"thing"});
    Generator::setCustomThumbnail([](const URL&, const std::optional<Size>& size) {
        return platform::Image::make(static_cast<int>(size->width), static_cast<int>(size->height),
                                     std::vector<uint8_t>(static_cast<std::size_t>(size->width * size->height * 4), 9));
    });
    EXPECT_TRUE(Generator::thumbnailOfFileSupported("x.THING"));
    auto image = Generator::thumbnail(fileURL("x.thing"), std::nullopt);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->size(), (Size{64, 64}));
    // An empty closure does not leave the generator unusable.
    Generator::setCustomThumbnail(nullptr);
    EXPECT_EQ(Generator::thumbnail(fileURL("x.thing"), std::nullopt), nullptr);

    Generator::setArchivePropertiesExtensions({"zip"});
    EXPECT_FALSE(Generator::propertiesOfFileSupported("a.zip"));
    Generator::setArchiveProperties([](const URL&) { return Generator::Properties{{{"Files", 3}}, {"Files"}}; });
    EXPECT_TRUE(Generator::propertiesOfFileSupported("a.zip"));
    EXPECT_EQ(Generator::properties(fileURL("a.zip")).keys, std::vector<std::string>{"Files"});
    Generator::setArchiveProperties(nullptr);
    Generator::setArchivePropertiesExtensions({});
    Generator::setCustomThumbnailExtensions(savedTable);
    Generator::setCustomThumbnail(savedGenerator);
}

// ---- Provider entry points ----

TEST_F(InformationGenerator, ProviderRequestsCompleteOnceOnTheProviderQueue) {
    // Through the local provider's own entry points, which hand over to the generator.
    auto provider = RiridOzizevud::LocalFileProvider::make(URL::fileURLWithPath(dir.string(), true));
    struct Case { const char* path; std::optional<Size> dimension; std::optional<Size> expected; };
    const Case cases[] = {
        {"wide.png", std::nullopt, Size{64, 32}},   // no dimension: 64 × 64
        {"tall.png", Size{20, 10}, Size{10, 20}},   // relatively taller: the requested width decides
        {"notes.txt", Size{20, 10}, std::nullopt},  // unknown extension
        {"missing.png", Size{20, 10}, std::nullopt},
        {"../etc/passwd.png", Size{20, 10}, std::nullopt},
    };
    for (const auto& c : cases) {
        std::promise<std::pair<std::shared_ptr<platform::Image>, platform::ErrorRef>> done;
        std::atomic<int> calls{0};
        EXPECT_EQ(provider->thumbnailOfFile(c.path, c.dimension,
                                             [&](std::shared_ptr<platform::Image> image, platform::ErrorRef error) {
                                                 if (calls++ == 0) done.set_value({image, error});
                                             }),
                  nullptr);
        auto f = done.get_future();
        ASSERT_TRUE(ostrane_test::becomesReady(f)) << c.path;
        const auto [image, error] = f.get();
        EXPECT_EQ(error, nullptr);
        if (c.expected) {
            ASSERT_TRUE(image) << c.path;
            EXPECT_EQ(image->size(), *c.expected) << c.path;
        } else {
            EXPECT_EQ(image, nullptr) << c.path;
        }
        EXPECT_EQ(calls.load(), 1);
    }

    std::promise<Generator::Properties> props;
    provider->propertiesOfFile("notes.txt", [&](platform::ValueDictionary d, std::vector<std::string> k, platform::ErrorRef e) {
        EXPECT_EQ(e, nullptr);
        props.set_value({std::move(d), std::move(k)});
    });
    auto f = props.get_future();
    ASSERT_TRUE(ostrane_test::becomesReady(f));
    EXPECT_TRUE(f.get().keys.empty());
}

// ---- Thumbnails ----

TEST(InformationGeneratorRules, MaximumPixelSizeFollowsTheShapeOfImageAndRequest) {
    EXPECT_EQ(Generator::maximumPixelSize(1000, 2000, {200, 100}), 200);
    EXPECT_EQ(Generator::maximumPixelSize(1000, 2000, {100, 100}), 100);
    EXPECT_EQ(Generator::maximumPixelSize(2000, 1000, {200, 100}), 100);
    EXPECT_EQ(Generator::maximumPixelSize(std::nullopt, std::nullopt, {30, 80}), 80);
}

TEST_F(InformationGenerator, ImageThumbnailsKeepTheirPicture) {
    auto tall = Generator::thumbnail(fileURL("tall.png"), Size{40, 40});
    ASSERT_TRUE(tall);
    EXPECT_EQ(tall->size(), (Size{20, 40}));
    EXPECT_EQ(tall->pixel(10, 2), (std::array<uint8_t, 4>{255, 255, 255, 255}));
    EXPECT_EQ(tall->pixel(10, 37), (std::array<uint8_t, 4>{255, 0, 0, 255}));

    struct Case { const char* name; Size size; Size expected; };
    const Case cases[] = {
        {"photo.JPG", {64, 64}, {64, 48}},   // decoded at reduced size, then fitted
        {"photo.JPG", {1000, 1000}, {320, 240}}, // never enlarged
        {"plain.bmp", {20, 20}, {20, 15}},
        {"icon.ico", {16, 16}, {16, 16}},
        {"scan.tiff", {30, 30}, {20, 30}},
        {"anim.gif", {25, 25}, {25, 10}},
    };
    for (const auto& c : cases) {
        auto image = Generator::thumbnail(fileURL(c.name), c.size);
        ASSERT_TRUE(image) << c.name;
        EXPECT_EQ(image->size(), c.expected) << c.name;
    }
    auto green = Generator::thumbnail(fileURL("photo.JPG"), Size{64, 64});
    const auto p = green->pixel(32, 24);
    EXPECT_NEAR(p[1], 200, 6);
    EXPECT_LT(p[0], 10);
}

TEST_F(InformationGenerator, DamagedOrMislabelledFilesGiveNoThumbnail) {
    for (const char* name : {"truncated.jpg", "noise.png", "noise.mp3", "noise.mov", "noise.pdf", "empty.heic",
                             "huge.png", "missing.jpg", "sliver.pdf", "pipe.png", "pipe.flac", "pipe.mov", "pipe.pdf",
                             "pipe.heic"}) {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(Generator::thumbnail(fileURL(name), Size{64, 64}), nullptr) << name;
        EXPECT_LT(std::chrono::steady_clock::now() - start, ostrane_test::hangLimit / 2) << name;
    }
    // A zero or non-finite request draws nothing instead of the whole image.
    EXPECT_EQ(Generator::thumbnail(fileURL("wide.png"), Size{0, 0}), nullptr);
    EXPECT_EQ(Generator::thumbnail(fileURL("doc.pdf"), Size{NAN, 64}), nullptr);
    EXPECT_EQ(Generator::thumbnail(fileURL("doc.pdf"), Size{1e12, 1e12}), nullptr);
}

TEST_F(InformationGenerator, AudioThumbnailIsTheCoverOrNothing) {
    auto cover = Generator::thumbnail(fileURL("song.flac"), Size{64, 64});
    ASSERT_TRUE(cover);
    EXPECT_EQ(cover->size(), (Size{64, 32}));
    EXPECT_EQ(cover->pixel(30, 15), (std::array<uint8_t, 4>{0, 0, 255, 255}));
    EXPECT_EQ(Generator::thumbnail(fileURL("bare.flac"), Size{64, 64}), nullptr);
}

TEST_F(InformationGenerator, VideoThumbnailIsTheFrameAtOneThird) {
    // 3 s at 10 frames per second: the frame at 1 s is frame 10, grey level 80.
    auto frame = Generator::thumbnail(fileURL("clip.mov"), Size{32, 32});
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->size(), (Size{32, 24}));
    EXPECT_NEAR(frame->pixel(16, 12)[0], 80, 4);
    auto turned = Generator::thumbnail(fileURL("turned.mov"), Size{32, 32});
    ASSERT_TRUE(turned);
    EXPECT_EQ(turned->size(), (Size{24, 32}));
    auto silent = Generator::thumbnail(fileURL("silent.mp4"), std::nullopt);
    ASSERT_TRUE(silent);
    EXPECT_EQ(silent->size(), (Size{64, 48}));
}

TEST_F(InformationGenerator, PdfThumbnailScalesThePageToTheRequest) {
    auto page = Generator::thumbnail(fileURL("doc.pdf"), Size{64, 64});
    ASSERT_TRUE(page);
    EXPECT_EQ(page->size(), (Size{49, 64})); // 612 × 792 scaled by 64/792
    EXPECT_EQ(page->pixel(5, 5), (std::array<uint8_t, 4>{0, 0, 0, 255}));
    EXPECT_EQ(page->pixel(45, 60), (std::array<uint8_t, 4>{255, 255, 255, 255}));
    EXPECT_EQ(Generator::thumbnail(fileURL("locked.pdf"), Size{64, 64}), nullptr);
}

TEST_F(InformationGenerator, HeicStillImage) {
    if (!haveHeic) GTEST_SKIP() << "libheif has no HEVC encoder here";
    auto image = Generator::thumbnail(fileURL("shot.heic"), Size{32, 32});
    ASSERT_TRUE(image);
    EXPECT_EQ(image->size(), (Size{32, 16}));
    const auto p = image->pixel(16, 8);
    EXPECT_NEAR(p[0], 200, 12);
    EXPECT_NEAR(p[1], 40, 12);
    const auto props = Generator::properties(fileURL("shot.heic"));
    EXPECT_EQ(text(props, "Dimensions"), "128x64");
    EXPECT_EQ(text(props, "Color space"), "RGB");
    EXPECT_EQ(text(props, "Color depth"), "8 bits");
}

// ---- Properties ----

TEST_F(InformationGenerator, ImagePropertiesInDisplayOrder) {
    const auto p = Generator::properties(fileURL("photo.JPG"));
    const std::vector<std::string> expected{"Dimensions", "DPI", "Device maker", "Device model", "Lens model",
                                            "Copyright", "Date taken", "Location", "Color space", "Color depth",
                                            "Color profile", "Focal length", "White banance", "F number", "Exposure program",
                                            "Exposure time", "ISO speed"};
    EXPECT_EQ(p.keys, expected);
    EXPECT_EQ(text(p, "Dimensions"), "320x240");
    EXPECT_EQ(p.prop.at("DPI"), platform::Value(300));
    EXPECT_EQ(text(p, "Device maker"), "Maker Co");
    EXPECT_FALSE(listed(p, "Artist")); // stored empty
    EXPECT_EQ(text(p, "Date taken"), "2020:01:02 03:04:05");
    // 48°51'29.52" and 2°17'40.2", hemisphere references not applied; altitude grouped.
    EXPECT_EQ(text(p, "Location"), "48.86, 2.29 at 1,234m");
    EXPECT_EQ(text(p, "Color space"), "RGB");
    EXPECT_EQ(text(p, "Color depth"), "8 bits");
    EXPECT_EQ(text(p, "Color profile"), "Test Profile");
    EXPECT_EQ(p.prop.at("F number"), platform::Value(2.8));
    EXPECT_EQ(text(p, "Exposure time"), "1/250");
    EXPECT_EQ(p.prop.at("ISO speed"), platform::Value(200));

    for (const auto& [name, dimensions] : {std::pair{"scan.tiff", "60x90"}, {"anim.gif", "50x20"}, {"plain.bmp", "40x30"}}) {
        const auto still = Generator::properties(fileURL(name));
        EXPECT_EQ(text(still, "Dimensions"), dimensions) << name;
        EXPECT_EQ(text(still, "Color space"), "RGB") << name;
    }
    EXPECT_EQ(Generator::properties(fileURL("print.png")).prop.at("DPI"), platform::Value(150));
    const auto png = Generator::properties(fileURL("wide.png"));
    EXPECT_EQ(png.keys, (std::vector<std::string>{"Dimensions", "Color space", "Color depth"}));
    EXPECT_EQ(text(png, "Dimensions"), "256x128");
    for (const char* name : {"noise.png", "missing.png", "empty.heic", "icon.ico", "pipe.png"})
        EXPECT_TRUE(Generator::properties(fileURL(name)).keys.empty()) << name;
}

TEST(InformationGeneratorRules, ExposureTimeIsAReducedFraction) {
    struct Case { double seconds; std::optional<std::string> expected; };
    const Case cases[] = {{1.0 / 250, "1/250"}, {2.5, "5/2"}, {0, "0/1"}, {1.0 / 3, "1/3"},
                          {-1, std::nullopt}, {NAN, std::nullopt}, {1e300, std::nullopt}};
    for (const auto& c : cases) EXPECT_EQ(Generator::exposureTimeText(c.seconds), c.expected) << c.seconds;
}

TEST(InformationGeneratorRules, PdfDatesInTheirFourForms) {
    struct Case { std::optional<std::string> text; std::optional<double> seconds; };
    const double base = 1577934245; // 2020-01-02 03:04:05 UTC
    const Case cases[] = {
        {"D:20200102030405+01'00'", base - 3600},
        {"D:20200102030405-05'30'", base + 5 * 3600 + 1800},
        {"20200102030405Z", base},
        {"D:20200102030405+0100", base - 3600},
        {"D:20200102030405T+0200", base - 7200},
        {"D:2020", std::nullopt},
        {"D:20201302030405Z", std::nullopt},
        {"D:20200230030405Z", std::nullopt},
        {"D:20200102030405+25'00'", std::nullopt},
        {"garbage", std::nullopt},
        {std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        const auto date = Generator::pdfDate(c.text);
        ASSERT_EQ(date.has_value(), c.seconds.has_value()) << c.text.value_or("<none>");
        if (date) {
            EXPECT_EQ(date->timeIntervalSince1970(), *c.seconds) << *c.text;
        }
    }
    // Without a zone the text is local time.
    setenv("TZ", "UTC", 1);
    tzset();
    ASSERT_TRUE(Generator::pdfDate("D:20200102030405"));
    EXPECT_EQ(Generator::pdfDate("D:20200102030405")->timeIntervalSince1970(), base);
}

TEST_F(InformationGenerator, AudioPropertiesFromTagsAndPlayer) {
    const auto p = Generator::properties(fileURL("song.flac"));
    EXPECT_EQ(text(p, "Title"), "A Song");
    EXPECT_EQ(text(p, "Artist"), "The Band");
    EXPECT_EQ(text(p, "Album Name"), "First");
    EXPECT_EQ(text(p, "Location"), "48.86°, 2.3°"); // no altitude part
    EXPECT_EQ(text(p, "Duration"), "0:01");
    EXPECT_EQ(p.prop.at("Bitrate"), platform::Value(8000));
    EXPECT_FALSE(listed(p, "Artwork"));
    EXPECT_LT(position(p, "Title"), position(p, "Duration"));
    EXPECT_EQ(text(Generator::properties(fileURL("high.flac")), "Location"), "48.86°, 2.3°, 1,035m");
    EXPECT_TRUE(Generator::properties(fileURL("noise.mp3")).keys.empty());
    EXPECT_TRUE(Generator::properties(fileURL("pipe.flac")).keys.empty());
    EXPECT_TRUE(Generator::properties(fileURL("missing.flac")).keys.empty());
}

TEST_F(InformationGenerator, VideoPropertiesReplaceTheAudioDuration) {
    const auto p = Generator::properties(fileURL("clip.mov"));
    EXPECT_EQ(std::count(p.keys.begin(), p.keys.end(), "Duration"), 1);
    EXPECT_EQ(position(p, "Duration"), position(p, "Dimensions") + 1);
    EXPECT_EQ(text(p, "Dimensions"), "64x48");
    EXPECT_EQ(text(p, "Duration"), "0:03");
    EXPECT_EQ(text(p, "Audio Bitrate"), "128 kbps");
    EXPECT_EQ(p.prop.at("Bitrate"), platform::Value(8000));
    EXPECT_NE(text(p, "Video Bitrate"), "<absent>");
    EXPECT_EQ(p.keys.back(), "Audio Bitrate");

    const auto silent = Generator::properties(fileURL("silent.mp4"));
    EXPECT_EQ(text(silent, "Audio Bitrate"), "0 kbps");
    EXPECT_FALSE(listed(silent, "Bitrate"));
    const auto noise = Generator::properties(fileURL("noise.mov"));
    EXPECT_EQ(noise.keys, std::vector<std::string>{"Audio Bitrate"});
}

TEST_F(InformationGenerator, PdfProperties) {
    const auto p = Generator::properties(fileURL("doc.pdf"));
    const std::vector<std::string> expected{"Title", "Author", "Keywords", "Version", "Pages", "Resolution",
                                            "Content creator", "Creation date", "Security", "Allows printing",
                                            "Allows copying"};
    EXPECT_EQ(p.keys, expected);
    EXPECT_EQ(text(p, "Version"), "1.4");
    EXPECT_EQ(p.prop.at("Pages"), platform::Value(1));
    EXPECT_EQ(text(p, "Resolution"), "612x792");
    EXPECT_EQ(p.prop.at("Creation date"), platform::Value(platform::Date::since1970(1577934245 - 3600)));
    EXPECT_EQ(text(p, "Security"), "None");
    EXPECT_EQ(p.prop.at("Allows printing"), platform::Value(true));

    const auto locked = Generator::properties(fileURL("locked.pdf"));
    EXPECT_EQ(text(locked, "Security"), "Password Protected");
    EXPECT_EQ(locked.prop.at("Pages"), platform::Value(0));
    EXPECT_FALSE(listed(locked, "Title"));

    EXPECT_TRUE(Generator::properties(fileURL("noise.pdf")).keys.empty());
    EXPECT_TRUE(Generator::properties(fileURL("pipe.pdf")).keys.empty());
}

TEST(InformationGeneratorRules, IccProfileDescription) {
    // Version 2 text description and version 4 multi-language forms; damaged tables give nothing.
    auto profile = [](const std::string& tag) {
        std::string p(128, '\0');
        auto be32 = [](uint32_t v) { return std::string{char(v >> 24), char(v >> 16), char(v >> 8), char(v)}; };
        p += be32(1) + "desc" + be32(144) + be32(static_cast<uint32_t>(tag.size())) + tag;
        return p;
    };
    auto be32 = [](uint32_t v) { return std::string{char(v >> 24), char(v >> 16), char(v >> 8), char(v)}; };
    EXPECT_EQ(platform::iccProfileDescription(profile("desc" + be32(0) + be32(5) + std::string("sRGB\0", 5))), "sRGB");
    const std::string utf16("\0D\0i\0s\0p\0l\0a\0y\0 \0\xe9", 18);
    EXPECT_EQ(platform::iccProfileDescription(
                  profile("mluc" + be32(0) + be32(1) + be32(12) + "enUS" + be32(18) + be32(28) + utf16)),
              "Display \xc3\xa9");
    EXPECT_EQ(platform::iccProfileDescription(profile("desc" + be32(0) + be32(500) + "x")), std::nullopt);
    EXPECT_EQ(platform::iccProfileDescription(std::string(200, '\xff')), std::nullopt);
    EXPECT_EQ(platform::iccProfileDescription(""), std::nullopt);
}

} // namespace
