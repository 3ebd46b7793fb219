#include "assets/Payloads.h"

#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "platform/VideoMode.h"
#include "tests/TestSupport.h"

namespace {

// The members each payload must carry.
const std::set<std::string> loaderFileSystemMembers = {
    // storage and USB drivers
    "devb-mmcsd-rcarm2-trevanic-mmc", "devb-mmcsd-rcarm2-trevanic-sdhi", "devb-umass", "io-usb",
    "usb", "enum-usb", "devc-serusb",
    // bus, serial and CAN drivers
    "i2c-rcar", "i2c-rcar_i2c", "spi-master", "spi-msiof.so", "spi-eeprom", "dev-can-m2",
    "devc-sercan", "devc-serscif", "devc-serscif485",
    // board drivers and tools
    "io-interface", "io-interface-opt", "touch-dura", "backlight-m2", "pwm-mx", "pwmdctl",
    "thermal", "thermalmgr", "power-fail", "rcar-wdtkick", "iplctl", "pic24ctl", "hw-init",
    "hw-info", "hw-ver", "key", "resource_seed", "calibrator", "devn-felic.so",
    // graphics stack, with the five GPU driver files
    "screen", "screen-sw.so", "libscreen.so.1", "libWFD.so.1", "libWFDrcarm2.so",
    "libwfdcfg-tx31d200vm0baa.so", "libwfdcfg-aa070me11.so", "libwfdcfg-aa123a11.so",
    "libwfdcfg-aa106ta11.so", "libsrv_um.so", "libswblit.so.1", "libdisputil.so.2",
    "libinputevents.so.1", "libhiddi.so.1", "libkalman.so.1", "screen-pvr2d-blit.so",
    "libpvr-services.so", "libpvr-services-init.so", "libpvr2d.so", "libpvr-profiling.so",
    // display configurations
    "graphics800x480.conf", "graphics1280x480.conf", "graphics1280x768.conf",
    "graphics1920x720.conf",
    // video capture
    "libcapture.so.1", "libcapture-soc-rcar.so", "libcapture-decoder-adv7180.so",
    // wireless network
    "firmware_ti18xx.bin", "tiwlan_cfg_ti18xx", "wlan_cu_ti18xx", "wpa_supplicant_ti18xx",
    "wpa_supplicant_ti18xx.conf", "wpa_cli_ti18xx", "wpa_passphrase_ti18xx", "hostapd_ti18xx",
    "hostapd_ti18xx.conf", "hostapd_ti18xx.sample.conf", "hostapd_cli_ti18xx", "p2p_ti18xx.conf",
    "iperf",
    // service and account files
    "services", "passwd", "shadow", "ftpusers", "inetd.conf", "exports",
    // build information
    "firmware-version.h"};

const std::set<std::string> utilitiesMembers = {
    // main application companion
    "VeldApp", "MapLoader",
    // network stack and services
    "io-pkt-v4-hc", "devnp-asix.so", "devnp-shim.so", "libsocket.so", "libsocket.so.3", "ifconfig",
    "autoipd", "inetd", "ftpd", "telnetd", "login", "qconn", "pdebug", "ping", "devc-pty",
    // shell tools
    "cat", "chmod", "cp", "df", "grep", "ln", "ls", "mkdir", "mv", "pwd", "rm", "sleep", "on",
    "slay", "pidin", "sloginfo", "use", "shutdown", "random", "usb", "in32", "out32",
    "libtracelog.so.1",
    // file-system tools
    "fdisk", "mkqnx6fs", "chkqnx6fs", "mount", "umount"};

// The names the simulated unit's unit-driver serves.
const std::set<std::string> standInDrivers = {"key",
                                              "touch-dura",
                                              "io-interface-opt",
                                              "io-interface",
                                              "iplctl",
                                              "i2c-rcar",
                                              "i2c-rcar_i2c",
                                              "spi-master",
                                              "pwm-mx",
                                              "backlight-m2",
                                              "thermal",
                                              "thermalmgr",
                                              "power-fail",
                                              "random",
                                              "screen",
                                              "devb-mmcsd-rcarm2-trevanic-mmc",
                                              "devb-mmcsd-rcarm2-trevanic-sdhi",
                                              "devb-umass",
                                              "io-usb",
                                              "enum-usb",
                                              "dev-can-m2",
                                              "devc-sercan",
                                              "devc-serscif485",
                                              "devc-pty",
                                              "io-pkt-v4-hc",
                                              "devc-serscif",
                                              "devc-serusb"};

// The names the simulated unit's unit-tool serves.
const std::set<std::string> standInTools = {"waitfor",
                                            "sync",
                                            "cat",
                                            "chmod",
                                            "cp",
                                            "df",
                                            "grep",
                                            "ln",
                                            "ls",
                                            "mkdir",
                                            "mv",
                                            "pwd",
                                            "rm",
                                            "sleep",
                                            "slay",
                                            "shutdown",
                                            "on",
                                            "ifconfig",
                                            "inetd",
                                            "qconn",
                                            "autoipd",
                                            "pdebug",
                                            "ping",
                                            "ftpd",
                                            "telnetd",
                                            "login",
                                            "pidin",
                                            "sloginfo",
                                            "use",
                                            "usb",
                                            "in32",
                                            "out32",
                                            "pwmdctl",
                                            "rcar-wdtkick",
                                            "pic24ctl",
                                            "hw-init",
                                            "hw-info",
                                            "hw-ver",
                                            "resource_seed",
                                            "calibrator",
                                            "spi-eeprom",
                                            "iperf",
                                            "tiwlan_cfg_ti18xx",
                                            "wlan_cu_ti18xx",
                                            "wpa_supplicant_ti18xx",
                                            "wpa_cli_ti18xx",
                                            "wpa_passphrase_ti18xx",
                                            "hostapd_ti18xx",
                                            "hostapd_cli_ti18xx",
                                            "MapLoader",
                                            "VeldApp",
                                            "fdisk",
                                            "mount",
                                            "mkqnx6fs",
                                            "chkqnx6fs",
                                            "umount"};

struct Member {
    std::string name;
    bool regularFile = false;
    int mode = 0;
    std::string owner;
    std::string group;
    long long modificationTime = 0;
    std::string content;
};

// A payload read back with libarchive, or what stopped the reading.
struct ReadPayload {
    std::vector<Member> members;
    std::string error;
};

struct ReaderDeleter {
    void operator()(archive* reader) const { archive_read_free(reader); }
};

std::string errorOf(archive* reader) {
    const char* error = archive_error_string(reader);
    return error != nullptr ? error : "failed";
}

ReadPayload readPayload(Assets::PayloadBytes bytes) {
    ReadPayload payload;
    const std::unique_ptr<archive, ReaderDeleter> reader(archive_read_new());
    archive_read_support_filter_gzip(reader.get());
    archive_read_support_format_tar(reader.get());
    if (archive_read_open_memory(reader.get(), bytes.begin,
                                 static_cast<std::size_t>(bytes.end - bytes.begin)) != ARCHIVE_OK) {
        payload.error = errorOf(reader.get());
        return payload;
    }
    archive_entry* entry = nullptr;
    int result = ARCHIVE_OK;
    while ((result = archive_read_next_header(reader.get(), &entry)) == ARCHIVE_OK) {
        Member member;
        member.name = archive_entry_pathname(entry);
        member.regularFile = archive_entry_filetype(entry) == AE_IFREG;
        member.mode = static_cast<int>(archive_entry_perm(entry));
        member.owner = archive_entry_uname(entry) != nullptr ? archive_entry_uname(entry) : "";
        member.group = archive_entry_gname(entry) != nullptr ? archive_entry_gname(entry) : "";
        member.modificationTime = static_cast<long long>(archive_entry_mtime(entry));
        char buffer[4096];
        la_ssize_t got = 0;
        while ((got = archive_read_data(reader.get(), buffer, sizeof buffer)) > 0) {
            member.content.append(buffer, static_cast<std::size_t>(got));
        }
        if (got < 0) {
            payload.error = errorOf(reader.get());
            return payload;
        }
        payload.members.push_back(member);
    }
    if (result != ARCHIVE_EOF) {
        payload.error = errorOf(reader.get());
    }
    return payload;
}

struct Payload {
    const char* label;
    Assets::PayloadBytes bytes;
    const std::set<std::string>* expectedMembers;
};

std::vector<Payload> bothPayloads() {
    return {{"loader file system", Assets::loaderFileSystemPayload(), &loaderFileSystemMembers},
            {"utilities", Assets::utilitiesPayload(), &utilitiesMembers}};
}

// The content of one member of the loader file-system payload (empty when it is missing).
std::string loaderFileSystemFile(const std::string& name) {
    const ReadPayload payload = readPayload(Assets::loaderFileSystemPayload());
    const auto member = std::find_if(payload.members.begin(), payload.members.end(),
                                     [&](const Member& found) { return found.name == name; });
    return member == payload.members.end() ? std::string() : member->content;
}

std::vector<std::vector<std::string>> fieldsOfLines(const std::string& text, char separator) {
    std::vector<std::vector<std::string>> lines;
    std::istringstream stream(text);
    std::string line;
    while (std::getline(stream, line)) {
        if (line.empty() || line.front() == '#') {
            continue;
        }
        std::vector<std::string> fields;
        std::istringstream lineStream(line);
        std::string field;
        if (separator == ' ') {
            while (lineStream >> field) {
                fields.push_back(field);
            }
        } else {
            while (std::getline(lineStream, field, separator)) {
                fields.push_back(field);
            }
        }
        lines.push_back(fields);
    }
    return lines;
}

TEST(PayloadsTest, EachPayloadHoldsExactlyItsMembersAsFlatRegularFilesOwnedByBuild) {
    for (const Payload& payload : bothPayloads()) {
        SCOPED_TRACE(payload.label);
        const ReadPayload read = readPayload(payload.bytes);
        ASSERT_EQ(read.error, "");
        ASSERT_FALSE(read.members.empty());
        std::vector<std::string> names;
        for (const Member& member : read.members) {
            SCOPED_TRACE(member.name);
            names.push_back(member.name);
            EXPECT_TRUE(member.regularFile);
            EXPECT_EQ(member.name.find('/'), std::string::npos);
            EXPECT_EQ(member.owner, "build");
            EXPECT_EQ(member.group, "build");
            EXPECT_EQ(member.modificationTime, read.members.front().modificationTime);
            EXPECT_FALSE(member.content.empty());
        }
        EXPECT_TRUE(std::is_sorted(names.begin(), names.end()));
        EXPECT_EQ(std::set<std::string>(names.begin(), names.end()), *payload.expectedMembers);
        EXPECT_EQ(names.size(), payload.expectedMembers->size()) << "a member is stored twice";
    }
}

TEST(PayloadsTest, ProgramsRunTheStandInOfTheirOwnNameAndEverythingElseIsPlainData) {
    for (const Payload& payload : bothPayloads()) {
        const ReadPayload read = readPayload(payload.bytes);
        ASSERT_EQ(read.error, "");
        for (const Member& member : read.members) {
            SCOPED_TRACE(std::string(payload.label) + ": " + member.name);
            const bool driver = standInDrivers.contains(member.name);
            if (driver || standInTools.contains(member.name)) {
                const std::string program = driver ? "unit-driver" : "unit-tool";
                EXPECT_EQ(member.content,
                          "#!/bin/sh\nexec " + program + " " + member.name + " \"$@\"\n");
                EXPECT_EQ(member.mode, 0755);
            } else {
                EXPECT_FALSE(member.content.starts_with("#!")) << "a program no stand-in serves";
                EXPECT_EQ(member.mode, 0664);
            }
        }
    }
    const ReadPayload utilities = readPayload(Assets::utilitiesPayload());
    EXPECT_TRUE(
        std::any_of(utilities.members.begin(), utilities.members.end(), [](const Member& member) {
            return member.name == "VeldApp" && member.mode == 0755 &&
                   member.content.find("exec unit-tool VeldApp") != std::string::npos;
        }));
}

// Both payloads unpack into /tmp, so a member they share must not depend on which came last.
TEST(PayloadsTest, MembersInBothPayloadsAreTheSame) {
    const ReadPayload loaderFileSystem = readPayload(Assets::loaderFileSystemPayload());
    const ReadPayload utilities = readPayload(Assets::utilitiesPayload());
    int shared = 0;
    for (const Member& first : loaderFileSystem.members) {
        for (const Member& second : utilities.members) {
            if (first.name == second.name) {
                SCOPED_TRACE(first.name);
                ++shared;
                EXPECT_EQ(first.content, second.content);
                EXPECT_EQ(first.mode, second.mode);
            }
        }
    }
    EXPECT_EQ(shared, 1) << "\"usb\" is the one member both carry";
}

// Each range is exactly one gzip stream whose header carries neither a file name nor a time.
TEST(PayloadsTest, PayloadsLieBackToBackAsOneCompleteGzipStreamEach) {
    const Assets::PayloadBytes loaderFileSystem = Assets::loaderFileSystemPayload();
    const Assets::PayloadBytes utilities = Assets::utilitiesPayload();
    EXPECT_EQ(utilities.begin, loaderFileSystem.end);
    for (const Payload& payload : bothPayloads()) {
        SCOPED_TRACE(payload.label);
        const auto size = static_cast<std::size_t>(payload.bytes.end - payload.bytes.begin);
        ASSERT_GT(size, 10U);
        const std::vector<std::uint8_t> bytes(payload.bytes.begin, payload.bytes.end);
        EXPECT_EQ(bytes.at(0), 0x1f);
        EXPECT_EQ(bytes.at(1), 0x8b);
        EXPECT_EQ(bytes.at(3), 0) << "header flags (name, comment, extra field)";
        EXPECT_EQ((std::vector<std::uint8_t>(bytes.begin() + 4, bytes.begin() + 8)),
                  (std::vector<std::uint8_t>{0, 0, 0, 0}))
            << "header time";

        z_stream stream{};
        ASSERT_EQ(inflateInit2(&stream, 16 + MAX_WBITS), Z_OK);
        std::vector<std::uint8_t> input = bytes;
        std::vector<std::uint8_t> output(std::size_t{64} * 1024);
        stream.next_in = input.data();
        stream.avail_in = static_cast<uInt>(input.size());
        int result = Z_OK;
        while (result == Z_OK) {
            stream.next_out = output.data();
            stream.avail_out = static_cast<uInt>(output.size());
            result = inflate(&stream, Z_NO_FLUSH);
        }
        inflateEnd(&stream);
        EXPECT_EQ(result, Z_STREAM_END);
        EXPECT_EQ(stream.avail_in, 0U) << "bytes after the end of the stream";
    }
}

TEST(PayloadsTest, DisplayConfigurationsNameTheirPanelSizes) {
    struct Configuration {
        const char* name;
        int width;
        int height;
    };
    const Configuration configurations[] = {{"graphics800x480.conf", 800, 480},
                                            {"graphics1280x480.conf", 1280, 480},
                                            {"graphics1280x768.conf", 1280, 768},
                                            {"graphics1920x720.conf", 1920, 720}};
    for (const Configuration& configuration : configurations) {
        SCOPED_TRACE(configuration.name);
        const auto mode = Platform::parseVideoMode(loaderFileSystemFile(configuration.name));
        ASSERT_TRUE(mode.has_value());
        EXPECT_EQ(mode->width, configuration.width);
        EXPECT_EQ(mode->height, configuration.height);
    }
}

TEST(PayloadsTest, AccountsHaveLockedPasswordsAndRootMayNotUseFileTransfer) {
    const auto accounts = fieldsOfLines(loaderFileSystemFile("passwd"), ':');
    const auto shadow = fieldsOfLines(loaderFileSystemFile("shadow"), ':');
    ASSERT_FALSE(accounts.empty());
    ASSERT_EQ(shadow.size(), accounts.size()) << "one shadow entry per account";
    EXPECT_EQ(accounts.front(),
              (std::vector<std::string>{"root", "x", "0", "0", "Superuser", "/", "/bin/sh"}));
    for (std::size_t index = 0; index < accounts.size(); ++index) {
        ASSERT_GE(accounts[index].size(), 2U);
        ASSERT_GE(shadow[index].size(), 2U);
        SCOPED_TRACE(accounts[index][0]);
        EXPECT_EQ(shadow[index][0], accounts[index][0]);
        EXPECT_EQ(accounts[index][1], "x") << "passwords live in shadow only";
        const std::string& password = shadow[index][1];
        EXPECT_TRUE(password == "*" || password.starts_with("!")) << "not locked: " << password;
    }
    const auto deniedFileTransfer = fieldsOfLines(loaderFileSystemFile("ftpusers"), ' ');
    EXPECT_TRUE(std::find(deniedFileTransfer.begin(), deniedFileTransfer.end(),
                          std::vector<std::string>{"root"}) != deniedFileTransfer.end());
}

TEST(PayloadsTest, NetworkServicesRunTheDaemonsLinkedForThemOnTheirPorts) {
    struct Service {
        const char* name;
        const char* port;
        const char* daemon;  // started by inetd, or null
    };
    const Service services[] = {{"ftp-data", "20/tcp", nullptr},
                                {"ftp", "21/tcp", "/usr/sbin/ftpd"},
                                {"telnet", "23/tcp", "/usr/sbin/telnetd"}};
    const auto ports = fieldsOfLines(loaderFileSystemFile("services"), ' ');
    const auto inetd = fieldsOfLines(loaderFileSystemFile("inetd.conf"), ' ');
    for (const Service& service : services) {
        SCOPED_TRACE(service.name);
        EXPECT_TRUE(std::any_of(ports.begin(), ports.end(), [&](const auto& fields) {
            return fields.size() >= 2 && fields[0] == service.name && fields[1] == service.port;
        }));
        if (service.daemon != nullptr) {
            EXPECT_TRUE(std::any_of(inetd.begin(), inetd.end(), [&](const auto& fields) {
                return fields.size() >= 6 && fields[0] == service.name &&
                       fields[5] == service.daemon;
            }));
        }
    }
    EXPECT_EQ(fieldsOfLines(loaderFileSystemFile("exports"), ' '),
              std::vector<std::vector<std::string>>{})
        << "nothing is exported";
}

std::string payloadSource(const std::string& name) {
    return std::string(PAYLOAD_SOURCE_DIR) + "/" + name;
}

class PackPayloadsTest : public testing::Test {
protected:
    TestSupport::ProgramRun pack(const std::string& blob, const std::string& layout,
                                 const std::vector<std::string>& manifests,
                                 const std::string& files = PAYLOAD_SOURCE_DIR "/files") const {
        std::vector<std::string> arguments = {files, root.path() + "/" + blob,
                                              root.path() + "/" + layout};
        arguments.insert(arguments.end(), manifests.begin(), manifests.end());
        return TestSupport::runProgram(PACK_PAYLOADS_PATH, arguments, root.path());
    }

    TestSupport::TemporaryUnitRoot root;
};

TEST_F(PackPayloadsTest, PackingTheSameInputsAgainGivesTheEmbeddedBytes) {
    const std::vector<std::string> manifests = {payloadSource("loader-file-system.manifest"),
                                                payloadSource("utilities.manifest")};
    const Assets::PayloadBytes loaderFileSystem = Assets::loaderFileSystemPayload();
    const Assets::PayloadBytes utilities = Assets::utilitiesPayload();
    const std::string embedded(loaderFileSystem.begin, utilities.end);
    const std::string sizes = "{" + std::to_string(loaderFileSystem.end - loaderFileSystem.begin) +
                              "UL, " + std::to_string(utilities.end - utilities.begin) + "UL}";
    for (const char* run : {"first", "second"}) {
        SCOPED_TRACE(run);
        const TestSupport::ProgramRun packed =
            pack(std::string(run) + ".bin", std::string(run) + ".c", manifests);
        ASSERT_EQ(packed.status, 0) << packed.err;
        EXPECT_TRUE(TestSupport::readHostFile(root.path() + "/" + run + ".bin") == embedded);
        EXPECT_NE(root.readFile(std::string("/") + run + ".c").find(sizes), std::string::npos);
    }
}

TEST_F(PackPayloadsTest, RefusesManifestsItCannotPackFaithfully) {
    struct Case {
        const char* manifest;
        const char* message;
    };
    const Case cases[] = {
        {"lib/nested.so placeholder a library in a folder\n", "plain file names"},
        {"..  tool\n", "plain file names"},
        {"cat tool\ncat tool\n", "listed twice"},
        {"cat program\n", "expected NAME"},
        {"cat\n", "expected NAME"},
        {"libfoo.so placeholder\n", "says what it stands for"},
        {"missing.conf file\n", "cannot read"},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.manifest);
        root.writeFile("/bad.manifest", testCase.manifest);
        const TestSupport::ProgramRun packed =
            pack("out.bin", "out.c", {root.path() + "/bad.manifest"});
        EXPECT_EQ(packed.status, 1);
        EXPECT_NE(packed.err.find(testCase.message), std::string::npos) << packed.err;
    }
}

}  // namespace
