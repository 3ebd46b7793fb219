#include <fcntl.h>
#include <unistd.h>

#include <httplib.h>
#include <array>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "CoreSystem/ByteOrder.h"
#include "CoreSystem/InputEvent.h"
#include "RecordingDevice.h"
#include "TestSupport.h"
#include "sim/unitsim/Arguments.h"
#include "sim/unitsim/UnitFolder.h"
#include "sim/unitsim/panel/PanelServer.h"
#include "sim/unitsim/panel/RequestGuard.h"

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;
using Sim::Unitsim::PanelServer;
using Sim::Unitsim::RequestGuard;
using Bytes = std::vector<std::uint8_t>;
using TestSupport::RecordingDevice;

const std::string unitsim = UNITSIM_PATH;
constexpr std::uintmax_t uploadLimit = 1000;
constexpr std::uint64_t gpioRegisterAddress = 0xE605580C;
constexpr std::uint32_t shutdownRequestBit = 1U << 11U;

// A unit made by unitsim and its panel, served on a free loopback port for the test.
class PanelServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        const TestSupport::ProgramRun made =
            TestSupport::runProgram(unitsim, {"make", root.path()}, root.folder());
        ASSERT_EQ(made.status, 0) << made.err;
        unit.emplace(root.path());
        server =
            std::make_unique<PanelServer>(*unit, Sim::Unitsim::UnitView::Settings{uploadLimit});
        port = server->bind(0);
        serving = std::thread([this] { server->serve(); });
        client = std::make_unique<httplib::Client>("127.0.0.1", port);
        client->set_read_timeout(std::chrono::seconds(10));
    }

    void TearDown() override {
        if (server) {
            server->stop();
        }
        if (serving.joinable()) {
            serving.join();
        }
    }

    std::string hostPath(const std::string& unitPath) const { return root.path() + unitPath; }

    httplib::Result upload(const std::string& name, const std::string& bytes) const {
        return client->Post("/api/stick/files?name=" + httplib::detail::encode_query_param(name),
                            bytes, "application/octet-stream");
    }

    Json state() const {
        const httplib::Result answer = client->Get("/api/state");
        EXPECT_TRUE(answer);
        return answer ? Json::parse(answer->body) : Json{};
    }

    // Every entry beneath the folder that holds the unit root, the root's own included.
    std::vector<std::string> entriesAroundUnit() const {
        std::vector<std::string> entries;
        for (const auto& entry : fs::recursive_directory_iterator(root.folder())) {
            entries.push_back(entry.path().string());
        }
        std::sort(entries.begin(), entries.end());
        return entries;
    }

    TestSupport::TemporaryUnitRoot root{"unit"};
    std::optional<Sim::Unitsim::UnitFolder> unit;
    std::unique_ptr<PanelServer> server;
    int port = 0;
    std::thread serving;
    std::unique_ptr<httplib::Client> client;
};

std::string errorOf(const httplib::Result& answer) {
    return answer ? Json::parse(answer->body).value("error", "") : "no answer";
}

TEST(RequestGuardTest, AnswersOnlyLoopbackRequestsAddressedToThePanel) {
    struct Case {
        const char* remote;
        const char* method;
        const char* host;
        const char* origin;
        bool refused;
    };
    const RequestGuard guard(8080);
    const std::vector<Case> cases = {
        {"127.0.0.1", "GET", "127.0.0.1:8080", "", false},
        {"127.4.5.6", "GET", "localhost:8080", "", false},
        {"::1", "GET", "[::1]:8080", "", false},
        {"::ffff:127.0.0.1", "GET", "127.0.0.1:8080", "", false},
        {"10.0.0.5", "GET", "127.0.0.1:8080", "", true},
        {"192.168.1.20", "POST", "127.0.0.1:8080", "", true},
        {"::ffff:10.0.0.5", "GET", "127.0.0.1:8080", "", true},
        {"fe80::1", "GET", "127.0.0.1:8080", "", true},
        {"not an address", "GET", "127.0.0.1:8080", "", true},
        // A name of another server that leads here (DNS rebinding), or another port.
        {"127.0.0.1", "GET", "panel.example:8080", "", true},
        {"127.0.0.1", "GET", "127.0.0.1:8081", "", true},
        {"127.0.0.1", "GET", "", "", true},
        // Changes only from the panel's own page; looking is harmless.
        {"127.0.0.1", "POST", "127.0.0.1:8080", "http://panel.example", true},
        {"127.0.0.1", "DELETE", "127.0.0.1:8080", "http://127.0.0.1:9999", true},
        {"127.0.0.1", "POST", "127.0.0.1:8080", "null", true},
        {"127.0.0.1", "POST", "127.0.0.1:8080", "http://localhost:8080", false},
        {"127.0.0.1", "POST", "127.0.0.1:8080", "", false},
        {"127.0.0.1", "GET", "127.0.0.1:8080", "http://panel.example", false},
    };
    for (const Case& each : cases) {
        EXPECT_EQ(guard.refusal(each.remote, each.method, each.host, each.origin).has_value(),
                  each.refused)
            << each.remote << " " << each.method << " Host " << each.host << " Origin "
            << each.origin;
    }
}

TEST_F(PanelServerTest, ASecondPanelCannotTakeTheSamePort) {
    PanelServer second(*unit, Sim::Unitsim::UnitView::Settings{uploadLimit});
    try {
        second.bind(port);
        ADD_FAILURE() << "a second panel shares port " << port;
    } catch (const Sim::Unitsim::CommandFailure& error) {
        EXPECT_EQ(std::string(error.what()),
                  "cannot serve on 127.0.0.1:" + std::to_string(port) + " (is the port taken?)");
    }
}

TEST_F(PanelServerTest, RefusesRequestsForAnotherHostOrFromAnotherOrigin) {
    const httplib::Result foreignHost =
        client->Get("/api/state", {{"Host", "panel.example:" + std::to_string(port)}});
    ASSERT_TRUE(foreignHost);
    EXPECT_EQ(foreignHost->status, 403);
    EXPECT_EQ(errorOf(foreignHost),
              "the panel answers only requests addressed to 127.0.0.1:" + std::to_string(port) +
                  " or localhost:" + std::to_string(port) +
                  ", not to 'panel.example:" + std::to_string(port) + "'");

    const httplib::Result foreignOrigin =
        client->Delete("/api/stick", {{"Origin", "http://panel.example"}});
    ASSERT_TRUE(foreignOrigin);
    EXPECT_EQ(foreignOrigin->status, 403);
    EXPECT_TRUE(fs::is_directory(hostPath("/mnt/stick")));

    const httplib::Result ownPage =
        client->Delete("/api/stick", {{"Origin", "http://127.0.0.1:" + std::to_string(port)}});
    ASSERT_TRUE(ownPage);
    EXPECT_EQ(ownPage->status, 200);
    EXPECT_FALSE(fs::exists(hostPath("/mnt/stick")));
}

TEST_F(PanelServerTest, PutsAFileOnTheStickWholeUnderItsPlainName) {
    const std::string bytes(uploadLimit, 'k');
    const httplib::Result answer = upload("update 2.kx1", bytes);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 200) << answer->body;
    EXPECT_EQ(TestSupport::readHostFile(hostPath("/mnt/stick/update 2.kx1")), bytes);
    // Nothing is left where the file waited on its way.
    EXPECT_TRUE(fs::is_empty(hostPath("/var/sim/incoming")));

    const Json files = state()["stick"]["files"];
    ASSERT_EQ(files.size(), 1U);
    EXPECT_EQ(files[0]["name"], "update 2.kx1");
    EXPECT_EQ(files[0]["size"], uploadLimit);
}

TEST_F(PanelServerTest, RefusesNamesWithAPathAndWritesNothing) {
    struct Case {
        std::string name;
        std::string error;
    };
    const std::vector<Case> cases = {
        {"../escape.kx1",
         "the name on the stick must be a plain file name without a path, not '../escape.kx1'"},
        {"/tmp/escape.kx1",
         "the name on the stick must be a plain file name without a path, not '/tmp/escape.kx1'"},
        {"sub/escape.kx1",
         "the name on the stick must be a plain file name without a path, not 'sub/escape.kx1'"},
        {"..", "the name on the stick must be a plain file name, not '..'"},
        {"", "the name on the stick must be a plain file name, not ''"},
        {std::string("bad\x01.kx1"), "the name on the stick must not hold control characters"},
    };
    const std::vector<std::string> before = entriesAroundUnit();
    for (const Case& each : cases) {
        const httplib::Result answer = upload(each.name, "package bytes");
        ASSERT_TRUE(answer) << each.name;
        EXPECT_EQ(answer->status, 400) << each.name;
        EXPECT_EQ(errorOf(answer), each.error);
    }
    EXPECT_FALSE(fs::exists("/tmp/escape.kx1"));
    // The incoming folder may have been made; nothing else is new, on the stick or beside it.
    std::vector<std::string> after = entriesAroundUnit();
    std::erase(after, hostPath("/var/sim/incoming"));
    EXPECT_EQ(after, before);
}

TEST_F(PanelServerTest, RefusesAnUploadAboveTheLimit) {
    const httplib::Result answer = upload("large.kx1", std::string(uploadLimit + 1, 'x'));
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 413);
    EXPECT_EQ(errorOf(answer), "the file is larger than the panel takes (1000 bytes)");
    EXPECT_FALSE(fs::exists(hostPath("/mnt/stick/large.kx1")));
}

TEST_F(PanelServerTest, WritesNothingThroughALinkedStickFolder) {
    const std::string outside = root.folder() + "/outside";
    fs::create_directory(outside);
    fs::remove_all(hostPath("/mnt/stick"));
    fs::create_directory_symlink(outside, hostPath("/mnt/stick"));
    TestSupport::writeHostFile(outside + "/kept.kx1", "kept");

    const httplib::Result answer = upload("update.kx1", "package bytes");
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 409);
    EXPECT_EQ(errorOf(answer),
              hostPath("/mnt/stick") + " is a symbolic link; nothing is written through it");
    EXPECT_FALSE(fs::exists(outside + "/update.kx1"));

    // Taking the stick out removes the link, not what it leads to.
    const httplib::Result removed = client->Delete("/api/stick");
    ASSERT_TRUE(removed);
    EXPECT_EQ(removed->status, 200);
    EXPECT_EQ(TestSupport::readHostFile(outside + "/kept.kx1"), "kept");
}

TEST_F(PanelServerTest, TakesTheStickOutAndPutsItBackWithTheNextFile) {
    ASSERT_EQ(upload("first.kx1", "one")->status, 200);
    TestSupport::writeHostFile(hostPath("/mnt/stick/install.log"), "Loaded install package\r\n");
    const httplib::Result log = client->Get("/api/stick/install.log");
    ASSERT_TRUE(log);
    EXPECT_EQ(log->status, 200);
    EXPECT_EQ(log->body, "Loaded install package\r\n");
    EXPECT_EQ(log->get_header_value("Content-Disposition"), "attachment; filename=\"install.log\"");

    ASSERT_EQ(client->Delete("/api/stick")->status, 200);
    EXPECT_FALSE(fs::exists(hostPath("/mnt/stick")));
    EXPECT_EQ(state()["stick"], (Json{{"inserted", false}, {"files", Json::array()}}));
    const httplib::Result noLog = client->Get("/api/stick/install.log");
    ASSERT_TRUE(noLog);
    EXPECT_EQ(noLog->status, 404);
    EXPECT_EQ(errorOf(noLog), "there is no install log on the stick");

    ASSERT_EQ(upload("second.kx1", "two")->status, 200);
    EXPECT_EQ(state()["stick"]["files"], (Json::array({{{"name", "second.kx1"}, {"size", 3}}})));
}

TEST_F(PanelServerTest, KeysAreHeldTogetherAndLetGoOneByOne) {
    RecordingDevice keys(hostPath("/dev/key"));
    // Display type 3, the unit's default: select is bit 2, up bit 3.
    for (const char* path : {"/api/keys/select/press", "/api/keys/up/press",
                             "/api/keys/select/release", "/api/keys/up/release"}) {
        const httplib::Result answer = client->Post(path);
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->status, 200) << path << answer->body;
    }
    EXPECT_EQ(keys.writes(), (std::vector<Bytes>{{4, 0}, {12, 0}, {8, 0}, {0, 0}}));

    const httplib::Result unknown = client->Post("/api/keys/menu/press");
    ASSERT_TRUE(unknown);
    EXPECT_EQ(unknown->status, 400);
    EXPECT_EQ(errorOf(unknown), "unknown key 'menu' (keys: cancel select up down)");
}

TEST_F(PanelServerTest, AClickIsATouchPressAndReleaseAtThatPoint) {
    RecordingDevice touches(hostPath("/dev/touch-dura"));
    const httplib::Result answer = client->Post("/api/touch?x=405&y=49");
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 200);
    const std::vector<Bytes> writes = touches.writes();
    ASSERT_EQ(writes.size(), 2U);
    const std::array<std::uint32_t, 2> kinds = {CoreSystem::InputEvent::touchPress,
                                                CoreSystem::InputEvent::touchRelease};
    for (std::size_t index = 0; index < writes.size(); ++index) {
        ASSERT_EQ(writes[index].size(), 28U);
        EXPECT_EQ(CoreSystem::ByteOrder::loadLittleEndian32(writes[index].data()), kinds.at(index));
        EXPECT_EQ(CoreSystem::ByteOrder::loadLittleEndian32(writes[index].data() + 4), 405U);
        EXPECT_EQ(CoreSystem::ByteOrder::loadLittleEndian32(writes[index].data() + 8), 49U);
    }
    const httplib::Result notANumber = client->Post("/api/touch?x=405&y=top");
    ASSERT_TRUE(notANumber);
    EXPECT_EQ(notANumber->status, 400);
}

TEST_F(PanelServerTest, InputOfAUnitThatIsOffIsRefusedWithTheReason) {
    const httplib::Result answer = client->Post("/api/keys/select/press");
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 409);
    EXPECT_EQ(errorOf(answer), hostPath("/dev/key") + ": No such file or directory");
    const httplib::Result powerOff = client->Post("/api/power-off");
    ASSERT_TRUE(powerOff);
    EXPECT_EQ(powerOff->status, 409);
    EXPECT_EQ(errorOf(powerOff), "the unit is off already");
}

TEST_F(PanelServerTest, RaisesAndLowersTheShutdownRequestInput) {
    const auto gpioWord = [this] {
        std::array<std::uint8_t, 4> bytes{};
        const int handle = ::open(hostPath("/dev/mem").c_str(), O_RDONLY | O_CLOEXEC);
        EXPECT_EQ(::pread(handle, bytes.data(), bytes.size(), gpioRegisterAddress), 4);
        ::close(handle);
        return CoreSystem::ByteOrder::loadLittleEndian32(bytes.data());
    };
    ASSERT_EQ(client->Post("/api/shutdown-request?level=high")->status, 200);
    EXPECT_NE(gpioWord() & shutdownRequestBit, 0U);
    EXPECT_EQ(state()["shutdownRequested"], true);
    ASSERT_EQ(client->Post("/api/shutdown-request?level=low")->status, 200);
    EXPECT_EQ(gpioWord() & shutdownRequestBit, 0U);
    EXPECT_EQ(state()["shutdownRequested"], false);
    EXPECT_EQ(client->Post("/api/shutdown-request?level=up")->status, 400);
}

// The frame stream of one watcher: the ids of the frames it received, until `enough` says so.
std::vector<std::string> watchFrames(httplib::Client& client, const std::string& lastSeen,
                                     const std::function<bool(std::size_t)>& enough) {
    httplib::Headers headers;
    if (!lastSeen.empty()) {
        headers.emplace("Last-Event-ID", lastSeen);
    }
    std::vector<std::string> ids;
    std::string received;
    client.Get("/events/frames", headers, [&](const char* data, std::size_t size) {
        received.append(data, size);
        for (std::size_t end = received.find("\n\n"); end != std::string::npos;
             end = received.find("\n\n")) {
            const std::string event = received.substr(0, end);
            received.erase(0, end + 2);
            if (event.starts_with("id: ")) {
                ids.push_back(event.substr(4, event.find('\n') - 4));
                if (enough(ids.size())) {
                    return false;
                }
            }
        }
        return true;
    });
    return ids;
}

TEST_F(PanelServerTest, AWatcherGetsEveryCapturedFrameInOrderFromTheLatest) {
    const std::string frames = hostPath("/var/sim/frames");
    fs::create_directories(frames);
    TestSupport::writeHostFile(hostPath("/var/run/unit.pgid"), "4321\n");
    TestSupport::writeHostFile(hostPath("/var/run/capture-dir"), frames + "\n");
    const auto writeFrame = [&](int number) {
        TestSupport::writeHostFile(frames + "/00000" + std::to_string(number) + ".png",
                                   "frame " + std::to_string(number));
    };
    for (int number = 0; number < 3; ++number) {
        writeFrame(number);
    }
    // Frames posted while the page watches come one by one, none skipped.
    const std::vector<std::string> seen = watchFrames(*client, "", [&](std::size_t count) {
        if (count == 1) {
            writeFrame(3);
            writeFrame(4);
        }
        return count == 3;
    });
    EXPECT_EQ(seen, (std::vector<std::string>{"4321/2", "4321/3", "4321/4"}));

    // A page that comes back within the run goes on after the last frame it saw.
    writeFrame(5);
    EXPECT_EQ(watchFrames(*client, "4321/3", [](std::size_t count) { return count == 2; }),
              (std::vector<std::string>{"4321/4", "4321/5"}));

    // A new run starts from its first frame; the older run's frames are not taken for its own.
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    TestSupport::writeHostFile(hostPath("/var/run/unit.pgid"), "4400\n");
    writeFrame(0);
    EXPECT_EQ(watchFrames(*client, "4321/5", [](std::size_t count) { return count == 1; }),
              (std::vector<std::string>{"4400/0"}));
}

}  // namespace
