// test-labels: unit
#include "fileprovider/ftp/FTPFileProvider.hpp"
#include "fileprovider/ftp/FTPListParser.hpp"
#include "platform/dispatch/DispatchQueue.hpp"

#include <gtest/gtest.h>

using namespace RiridOzizevud;
using platform::URL;

TEST(FTPFileProviderObject, BaseURLsAreNormalisedOrRefused) {
    struct Case {
        std::string url;
        std::optional<std::string> base;
    } cases[] = {
        {"ftp://h", "ftp://h:21/"},
        {"ftps://h/dir", "ftps://h:990/dir/"},
        {"ftpes://h", "ftpes://h:21/"},
        {"ftp://h:2121/x/", "ftp://h:2121/x/"},
        {"FTP://h/", "FTP://h:21/"},
        {"sftp://h/", std::nullopt},
        {"http://h/", std::nullopt},
        {"ftp:///nohost", std::nullopt},
    };
    for (const auto& c : cases) {
        auto provider = FTPFileProvider::make(*URL::parse(c.url), FTPFileProvider::Mode::default_, std::nullopt, nullptr);
        ASSERT_EQ(provider != nullptr, c.base.has_value()) << c.url;
        if (provider) {
            EXPECT_EQ(provider->baseURL()->absoluteString(), *c.base) << c.url;
        }
    }
    auto active = FTPFileProvider::make(*URL::parse("ftp://h"), false, std::nullopt, nullptr);
    EXPECT_EQ(active->mode(), FTPFileProvider::Mode::active);
    EXPECT_EQ(active->type(), "FTP");
    EXPECT_EQ(active->dispatch_queue()->label(), "FileProvider.FTP");
}

TEST(FTPFileProviderObject, PathsAndAddresses) {
    auto p = FTPFileProvider::make(*URL::parse("ftp://h/pub/"), FTPFileProvider::Mode::passive,
                                   platform::URLCredential("ann", "p@ss"), nullptr);
    // The address names the user but never carries the password; dot segments stay below the base.
    EXPECT_EQ(p->url("docs/a b.txt").absoluteString(), "ftp://ann@h:21/pub/docs/a%20b.txt");
    EXPECT_EQ(p->url("/../../etc/passwd").absoluteString(), "ftp://ann@h:21/pub/etc/passwd");
    EXPECT_EQ(p->serverPath("docs/"), "/pub/docs");
    EXPECT_EQ(p->serverPath(""), "/pub");
    // Provider paths come back decoded, with and without a credential, from relative and absolute URLs.
    for (bool withCredential : {true, false}) {
        if (!withCredential) p->setCredential(std::nullopt);
        EXPECT_EQ(p->relativePathOf(p->url("docs/a b.txt")), "docs/a b.txt") << withCredential;
        EXPECT_EQ(p->relativePathOf(p->url("caf\xC3\xA9 %41")), "caf\xC3\xA9 %41") << withCredential;
        EXPECT_EQ(p->relativePathOf(*URL::parse("ftp://h:21/pub/a%20b")), "pub/a b") << withCredential;
    }
    EXPECT_EQ(p->url("x").absoluteString(), "ftp://h:21/pub/x");
}

TEST(FTPFileProviderObject, NoURLHandedOutCarriesAPassword) {
    // A login written into the base URL is the credential; the URLs handed out carry no password.
    auto p = FTPFileProvider::make(*URL::parse("ftp://ann:s3cret@h/pub/"), FTPFileProvider::Mode::passive, std::nullopt,
                                   nullptr);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->baseURL()->absoluteString(), "ftp://h:21/pub/");
    ASSERT_TRUE(p->credential());
    EXPECT_EQ(p->credential()->user(), "ann");
    EXPECT_EQ(p->credential()->password(), "s3cret");
    for (const std::string path : {"", "/", "a b", "docs/x.txt"})
        EXPECT_EQ(p->url(path).absoluteString().find("s3cret"), std::string::npos) << path;
    const auto entries = parseFTPListLines({"type=file;size=1; a"}, true, "/", p->baseURL());
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0]->url().absoluteString(), "ftp://h:21/pub/a");
    // A credential given to the initialiser wins over the one in the address.
    auto q = FTPFileProvider::make(*URL::parse("ftp://ann:s3cret@h/"), FTPFileProvider::Mode::passive,
                                   platform::URLCredential("bob", "other"), nullptr);
    EXPECT_EQ(q->credential()->user(), "bob");
    EXPECT_EQ(q->baseURL()->absoluteString(), "ftp://h:21/");
}

TEST(FTPFileProviderObject, ArchivingAndCopying) {
    auto p = FTPFileProvider::make(*URL::parse("ftpes://h/pub"), FTPFileProvider::Mode::extendedPassive,
                                   platform::URLCredential("ann", "secret"), nullptr);
    p->setUseCache(true);
    p->setSupportsRFC3659(false);
    p->setSecuredDataConnection(false);
    p->setUploadByREST(true);
    platform::KeyedArchiver archiver;
    p->encode(archiver);
    auto decoded = FTPFileProvider::make(platform::KeyedUnarchiver(archiver.encodedData()));
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->baseURL(), p->baseURL());
    EXPECT_EQ(decoded->mode(), FTPFileProvider::Mode::extendedPassive);
    EXPECT_EQ(decoded->credential(), p->credential());
    EXPECT_TRUE(decoded->useCache());
    EXPECT_TRUE(decoded->validatingCache());
    EXPECT_FALSE(decoded->supportsRFC3659());
    EXPECT_FALSE(decoded->securedDataConnection());
    // Not archived.
    EXPECT_FALSE(decoded->uploadByREST());

    auto copy = p->copy();
    EXPECT_EQ(copy->baseURL(), p->baseURL());
    EXPECT_FALSE(copy->supportsRFC3659());
    EXPECT_FALSE(copy->uploadByREST());
    EXPECT_NE(copy->dispatch_queue(), p->dispatch_queue());

    platform::KeyedArchiver empty;
    EXPECT_THROW(FTPFileProvider::make(platform::KeyedUnarchiver(empty.encodedData())), platform::Exception);
}
