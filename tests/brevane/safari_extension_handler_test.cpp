// test-labels: unit brevane
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "brevane/NSWorkspace.hpp"
#include "brevane/SafariExtensionHandler.hpp"

using namespace Brevane;
using nlohmann::json;

namespace {

struct Sent {
    std::string name;
    std::optional<UserInfo> userInfo;
};

class FakePage : public SFSafariPage {
public:
    void dispatchMessageToScript(const std::string& name, const std::optional<UserInfo>& userInfo) override {
        sent.push_back({name, userInfo});
    }
    void getPropertiesWithCompletionHandler(std::function<void(std::shared_ptr<SFSafariPageProperties>)> done) override {
        done(std::make_shared<SFSafariPageProperties>("https://example.org/v", "Video"));
    }
    std::vector<Sent> sent;
};

class FakeTab : public SFSafariTab {
public:
    explicit FakeTab(std::shared_ptr<SFSafariPage> page) : page_(std::move(page)) {}
    void getActivePageWithCompletionHandler(std::function<void(std::shared_ptr<SFSafariPage>)> done) override {
        done(page_);
    }

private:
    std::shared_ptr<SFSafariPage> page_;
};

class FakeWindow : public SFSafariWindow {
public:
    explicit FakeWindow(std::shared_ptr<SFSafariTab> tab) : tab_(std::move(tab)) {}
    void getActiveTabWithCompletionHandler(std::function<void(std::shared_ptr<SFSafariTab>)> done) override {
        done(tab_);
    }

private:
    std::shared_ptr<SFSafariTab> tab_;
};

class FakeWorkspace : public NSWorkspace {
public:
    bool openURL(const std::string& url) override {
        opened.push_back(url);
        return true;
    }
    std::vector<std::string> opened;
};

std::string percentDecoded(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

/// The resource a hand-off URL carries, members in any order.
Resource decodeHandOff(const std::string& url) {
    const std::string prefix = "dovavoziri:";
    EXPECT_EQ(url.rfind(prefix, 0), 0u) << url;
    auto object = json::parse(percentDecoded(url.substr(prefix.size())));
    return object.get<Resource>();
}

json resourceInfo(const Resource& resource) { return json{{"resource", resource}}; }

class HandlerTest : public ::testing::Test {
protected:
    void SetUp() override {
        setCollectedResources({});
        workspace = std::make_shared<FakeWorkspace>();
        NSWorkspace::setShared(workspace);
        setMainQueueScheduler([this](double seconds, std::function<void()> task) {
            delays.push_back(seconds);
            scheduled.push_back(std::move(task));
        });
    }
    void TearDown() override {
        NSWorkspace::setShared(std::make_shared<ProgramWorkspace>());
        setCollectedResources({});
    }
    void send(const std::string& name, const std::optional<UserInfo>& info) {
        handler.messageReceivedWithName(name, page, info);
    }
    void runScheduled() {
        auto tasks = std::move(scheduled);
        scheduled.clear();
        for (auto& task : tasks) task();
    }

    SafariExtensionHandler handler;
    std::shared_ptr<FakePage> page = std::make_shared<FakePage>();
    std::shared_ptr<FakeWorkspace> workspace;
    std::vector<std::function<void()>> scheduled;
    std::vector<double> delays;
};

const Resource a{{"url", "https://a.example/x.mp4"}, {"title", "A"}};
const Resource b{{"url", "https://b.example/y.mkv"}};
const Resource noURL{{"title", "no address"}};

}  // namespace

TEST_F(HandlerTest, MessagesWithoutUsableResourceChangeNothing) {
    setCollectedResources({a});
    const std::vector<std::pair<std::string, std::optional<UserInfo>>> cases = {
        {"safari_page_resource", std::nullopt},
        {"safari_page_resource", json::object()},
        {"safari_page_resource", json{{"other", resourceInfo(b)["resource"]}}},
        {"safari_page_resource", json{{"resource", "https://b.example"}}},
        {"safari_page_resource", json{{"resource", {{"url", "x"}, {"size", 3}}}}},
        {"calvora_reply_url", json{{"resource", {{"url", nullptr}}}}},
        {"calvora_open", json{{"resource", json::array()}}},
    };
    for (const auto& [name, info] : cases) {
        send(name, info);
        EXPECT_EQ(collectedResources(), std::vector<Resource>{a}) << name << " " << (info ? info->dump() : "nil");
    }
    EXPECT_TRUE(workspace->opened.empty());
}

TEST_F(HandlerTest, PageMessagesUpdateTheList) {
    send("safari_page_resource", resourceInfo(a));
    send("safari_page_resource", resourceInfo(b));
    send("safari_page_resource", resourceInfo(a));
    EXPECT_EQ(collectedResources(), (std::vector<Resource>{a, b, a}));  // duplicates and order kept

    for (const char* name : {"Safari_Page_Resource", "CALVORA_OPEN", "calvora_reply_URL", "other"}) {
        send(name, resourceInfo(noURL));
    }
    EXPECT_EQ(collectedResources(), (std::vector<Resource>{a, b, a}));
    EXPECT_TRUE(workspace->opened.empty());

    send("calvora_reply_url", resourceInfo(noURL));
    EXPECT_EQ(collectedResources(), std::vector<Resource>{noURL});
}

TEST_F(HandlerTest, OpenHandsOffFirstCollectedOrOwnResourceAndEmptiesTheList) {
    send("calvora_open", resourceInfo(b));  // empty list: the message's own resource
    send("safari_page_resource", resourceInfo(a));
    send("safari_page_resource", resourceInfo(noURL));
    send("calvora_open", resourceInfo(b));  // non-empty list: the first collected one
    ASSERT_EQ(workspace->opened.size(), 2u);
    Resource expectedOwn = b, expectedFirst = a;
    expectedOwn["command"] = "open";
    expectedFirst["command"] = "open";
    EXPECT_EQ(decodeHandOff(workspace->opened[0]), expectedOwn);
    EXPECT_EQ(decodeHandOff(workspace->opened[1]), expectedFirst);
    EXPECT_TRUE(collectedResources().empty());
}

TEST_F(HandlerTest, OpenEmptiesTheListEvenWhenNothingIsOpened) {
    send("safari_page_resource", resourceInfo({{"title", std::string("bad \xff byte")}}));
    send("calvora_open", resourceInfo(b));
    EXPECT_TRUE(workspace->opened.empty());  // invalid UTF-8 ends the hand-off silently
    EXPECT_TRUE(collectedResources().empty());
}

TEST_F(HandlerTest, ToolbarSequence) {
    setCollectedResources({a});
    handler.toolbarItemClickedInWindow(std::make_shared<FakeWindow>(std::make_shared<FakeTab>(page)));
    EXPECT_TRUE(collectedResources().empty());
    ASSERT_EQ(page->sent.size(), 1u);
    EXPECT_EQ(page->sent[0].name, "calvora_command");
    EXPECT_EQ(page->sent[0].userInfo, (json{{"command", "prepare"}}));
    ASSERT_EQ(scheduled.size(), 1u);
    EXPECT_DOUBLE_EQ(delays[0], 0.1);
    runScheduled();
    ASSERT_EQ(page->sent.size(), 2u);
    EXPECT_EQ(page->sent[1].name, "calvora_open");
    EXPECT_FALSE(page->sent[1].userInfo.has_value());
}

TEST_F(HandlerTest, ToolbarWithoutTabOrPage) {
    setCollectedResources({a});
    handler.toolbarItemClickedInWindow(std::make_shared<FakeWindow>(nullptr));
    EXPECT_TRUE(collectedResources().empty());
    EXPECT_TRUE(scheduled.empty());

    setCollectedResources({a});
    handler.toolbarItemClickedInWindow(std::make_shared<FakeWindow>(std::make_shared<FakeTab>(nullptr)));
    EXPECT_TRUE(collectedResources().empty());
    ASSERT_EQ(scheduled.size(), 1u);  // the delayed task is scheduled and does nothing
    runScheduled();
    EXPECT_TRUE(page->sent.empty());
}

TEST_F(HandlerTest, ToolbarValidationAlwaysEnabledWithoutBadge) {
    int calls = 0;
    handler.validateToolbarItemInWindow(nullptr, [&](bool enabled, std::string badge) {
        ++calls;
        EXPECT_TRUE(enabled);
        EXPECT_EQ(badge, "");
    });
    EXPECT_EQ(calls, 1);
}

TEST_F(HandlerTest, ContextMenuValidationLooksAtTheFirstResourceOnly) {
    const std::vector<std::pair<std::vector<Resource>, bool>> cases = {
        {{}, true},
        {{a}, false},
        {{{{"url", ""}}}, false},
        {{noURL, a}, true},
        {{b, noURL}, false},
    };
    for (const auto& [resources, hidden] : cases) {
        setCollectedResources(resources);
        int calls = 0;
        handler.validateContextMenuItemWithCommand("calvora_open", page, std::nullopt,
                                                   [&](bool shouldHide, std::optional<std::string> text) {
                                                       ++calls;
                                                       EXPECT_EQ(shouldHide, hidden) << resources.size();
                                                       EXPECT_FALSE(text.has_value());
                                                   });
        EXPECT_EQ(calls, 1);
    }
}

TEST_F(HandlerTest, ContextMenuSelectionMapsTheCommand) {
    handler.contextMenuItemSelectedWithCommand("calvora_playlist", page, std::nullopt);
    EXPECT_TRUE(workspace->opened.empty());  // nothing collected

    Resource withCommand = a;
    withCommand["command"] = "page's own";
    setCollectedResources({withCommand, b});
    const std::vector<std::pair<std::string, std::string>> commands = {
        {"calvora_playlist", "addtoplaylist"}, {"calvora_open", "open"}, {"anything", "open"}, {"", "open"}};
    for (const auto& [command, handed] : commands) {
        workspace->opened.clear();
        handler.contextMenuItemSelectedWithCommand(command, page, std::nullopt);
        ASSERT_EQ(workspace->opened.size(), 1u);
        Resource expected = a;
        expected["command"] = handed;
        EXPECT_EQ(decodeHandOff(workspace->opened[0]), expected) << command;
    }
    EXPECT_EQ(collectedResources(), (std::vector<Resource>{withCommand, b}));  // list and stored values unchanged
}

TEST_F(HandlerTest, HandOffURLEncoding) {
    auto url = handler.handOffURL("open", {{"title", "a b"}});
    ASSERT_TRUE(url);
    EXPECT_TRUE(*url == "dovavoziri:%7B%22command%22:%22open%22,%22title%22:%22a%20b%22%7D" ||
                *url == "dovavoziri:%7B%22title%22:%22a%20b%22,%22command%22:%22open%22%7D")
        << *url;

    url = handler.handOffURL("open", {{"url", "https://x.example/é?q=1#f"}, {"quote", "say \"hi\"\n"}});
    ASSERT_TRUE(url);
    EXPECT_NE(url->find("https:%5C/%5C/x.example%5C/%C3%A9?q=1%23f"), std::string::npos) << *url;
    EXPECT_NE(url->find("%5C%22hi%5C%22%5Cn"), std::string::npos) << *url;
    EXPECT_EQ(decodeHandOff(*url), (Resource{{"url", "https://x.example/é?q=1#f"},
                                             {"quote", "say \"hi\"\n"},
                                             {"command", "open"}}));
}

TEST(PageProperties, DescriptionForm) {
    EXPECT_EQ(SFSafariPageProperties("https://a.example/", "T").description(),
              "Optional(https://a.example/), Optional(\"T\")");
    EXPECT_EQ(SFSafariPageProperties(std::nullopt, std::nullopt).description(), "nil, nil");
}

TEST(ViewController, SharedIsOneInstance) {
    SafariExtensionHandler handler;
    EXPECT_EQ(handler.popoverViewController(), SafariExtensionViewController::shared());
    EXPECT_NE(handler.popoverViewController(), nullptr);
}

TEST(ProgramWorkspace, RefusesWhatCannotBeStarted) {
    ProgramWorkspace missing("/nonexistent/opener");
    EXPECT_FALSE(missing.openURL("dovavoziri:%7B%7D"));
    // Longer than the kernel takes as one argument: dropped without starting anything.
    ProgramWorkspace opener("true");
    EXPECT_FALSE(opener.openURL("dovavoziri:" + std::string(ProgramWorkspace::maxArgumentLength, 'a')));
    EXPECT_TRUE(opener.openURL("dovavoziri:%7B%7D"));
}
