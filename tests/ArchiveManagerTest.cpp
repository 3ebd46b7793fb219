#include <archive.h>
#include <archive_entry.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <set>
#include <sstream>
#include <streambuf>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ArchiveFixtures.h"
#include "CoreSystem/ArchiveManager.h"
#include "CoreSystem/CRC32.h"
#include "TestSupport.h"

namespace {

using CoreSystem::ArchiveManager;
using CoreSystem::ArchiveStatus;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::Not;
using TestSupport::FileSizeLimit;
using TestSupport::gzipBytes;
using TestSupport::Member;
using TestSupport::randomBytes;
using TestSupport::tarBytes;
using TestSupport::tarGz;
using TestSupport::TemporaryUnitRoot;

constexpr std::uint32_t packageStartValue = 0x6826EB82;

// ---- Fixture archives, written in memory with libarchive's writer ----

// Names each case of a table after its `name` field, in test names and failure messages.
struct CaseName {
    template <typename Case>
    std::string operator()(const ::testing::TestParamInfo<Case>& parameter) const {
        return parameter.param.name;
    }
};

// ---- Running an extraction and recording what it reports ----

struct Extraction {
    std::uint32_t crc = 0;
    ArchiveStatus status = ArchiveStatus::clean;
    std::vector<std::string> started;
    std::vector<std::string> finished;
    std::vector<std::uint32_t> progressTotals;
    std::vector<std::uint32_t> progressDone;
    std::string printed;
    std::set<std::thread::id> callbackThreads;
};

void recordProgress(std::uint32_t total, std::uint32_t done, void* context) {
    auto* extraction = static_cast<Extraction*>(context);
    extraction->callbackThreads.insert(std::this_thread::get_id());
    extraction->progressTotals.push_back(total);
    extraction->progressDone.push_back(done);
}

void recordStarted(const char* path, void* context) {
    static_cast<Extraction*>(context)->callbackThreads.insert(std::this_thread::get_id());
    static_cast<Extraction*>(context)->started.emplace_back(path);
}

void recordFinished(const char* path, void* context) {
    static_cast<Extraction*>(context)->callbackThreads.insert(std::this_thread::get_id());
    static_cast<Extraction*>(context)->finished.emplace_back(path);
}

Extraction extractFrom(std::istream& stream, std::int64_t offset, std::uint64_t size,
                       const char* prefix, bool computeCrc = true) {
    Extraction extraction;
    ArchiveManager manager(stream, offset, size);
    ::testing::internal::CaptureStdout();
    extraction.crc = manager.extract(computeCrc, prefix, recordProgress, recordStarted,
                                     recordFinished, &extraction);
    extraction.printed = ::testing::internal::GetCapturedStdout();
    extraction.status = manager.status();
    return extraction;
}

Extraction extractBytes(const std::string& bytes, const char* prefix) {
    std::istringstream stream(bytes);
    return extractFrom(stream, 0, bytes.size(), prefix);
}

// Every path beneath `folder`, relative to it, symbolic links not followed.
std::vector<std::string> treeBelow(const std::string& folder) {
    std::vector<std::string> paths;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
        paths.push_back(entry.path().lexically_relative(folder).string());
    }
    std::sort(paths.begin(), paths.end());
    return paths;
}

// ---- Callbacks, prefix and CRC ----

struct PrefixCase {
    const char* name;
    std::optional<std::string> prefixInDestination;  // appended to "<root>/dest/"; none = null
};

void PrintTo(const PrefixCase& prefixCase, std::ostream* out) {
    *out << prefixCase.name;
}

class PrefixJoinTest : public ::testing::TestWithParam<PrefixCase> {};

TEST_P(PrefixJoinTest, ReportsStoredPathsStartedAndPrefixedPathsFinished) {
    const TemporaryUnitRoot root;
    const std::string destination = root.path() + "/dest/";
    std::filesystem::create_directories(destination);
    const std::optional<std::string> prefix =
        GetParam().prefixInDestination.has_value()
            ? std::optional(destination + *GetParam().prefixInDestination)
            : std::nullopt;
    const std::string landing = prefix.value_or(destination);
    const std::vector<std::string> stored = {"a.txt", "sub/b.txt", "sub/link.txt", "sub/sym"};
    const std::string archive =
        tarGz({{.path = "a.txt", .contents = "alpha"},
               {.path = "sub/b.txt", .contents = "beta"},
               {.path = "sub/link.txt", .hardlinkTarget = "a.txt"},
               {.path = "sub/sym", .type = AE_IFLNK, .symlinkTarget = "x"}});

    const auto previousFolder = std::filesystem::current_path();
    std::filesystem::current_path(destination);  // where a null prefix puts the members
    const Extraction result = extractBytes(archive, prefix ? prefix->c_str() : nullptr);
    std::filesystem::current_path(previousFolder);

    EXPECT_EQ(result.status, ArchiveStatus::clean) << result.printed;
    // The archive is read on a thread of its own; the callbacks draw and log on the caller's.
    EXPECT_THAT(result.callbackThreads, ElementsAre(std::this_thread::get_id()));
    EXPECT_THAT(result.started, ElementsAreArray(stored));
    std::vector<std::string> expectedFinished;
    expectedFinished.reserve(stored.size());
    for (const std::string& path : stored) {
        expectedFinished.push_back(prefix.value_or("") + path);
    }
    EXPECT_THAT(result.finished, ElementsAreArray(expectedFinished));
    EXPECT_EQ(TestSupport::readHostFile(landing + "a.txt"), "alpha");
    EXPECT_EQ(TestSupport::readHostFile(landing + "sub/b.txt"), "beta");
    EXPECT_EQ(std::filesystem::read_symlink(landing + "sub/sym"), "x");
    // The hard link's target gets the same prefix as the link.
    struct stat original {};
    struct stat link {};
    ASSERT_EQ(stat((landing + "a.txt").c_str(), &original), 0);
    ASSERT_EQ(stat((landing + "sub/link.txt").c_str(), &link), 0);
    EXPECT_EQ(original.st_ino, link.st_ino);
}

INSTANTIATE_TEST_SUITE_P(Prefixes, PrefixJoinTest,
                         ::testing::Values(PrefixCase{"FolderPrefix", ""},
                                           PrefixCase{"PrefixJoinedAsText", "pre-"},
                                           PrefixCase{"NullPrefix", std::nullopt}),
                         CaseName());

TEST(ArchiveManagerTest, ReportsProgressOncePerReadUpToTheDeclaredSize) {
    const TemporaryUnitRoot root;
    constexpr std::uint32_t piece = ArchiveManager::readBufferSize;
    constexpr std::uint32_t declared = 2 * piece + piece / 2;
    const std::string noise = randomBytes(std::size_t{2} * piece);
    std::string archive = tarGz({{.path = "noise.bin", .contents = noise}});
    ASSERT_LT(archive.size(), declared);
    archive.resize(declared, '\0');  // zeros after the gzip stream fill the declared range

    const Extraction result = extractBytes(archive, (root.path() + "/").c_str());

    EXPECT_EQ(result.status, ArchiveStatus::clean) << result.printed;
    ASSERT_GE(result.progressDone.size(), 4U);  // the last read returns 0 and is reported too
    EXPECT_THAT(std::vector(result.progressDone.begin(), result.progressDone.begin() + 3),
                ElementsAreArray({piece, 2 * piece, declared}));
    EXPECT_TRUE(std::all_of(result.progressDone.begin() + 3, result.progressDone.end(),
                            [](std::uint32_t done) { return done == declared; }));
    EXPECT_TRUE(std::all_of(result.progressTotals.begin(), result.progressTotals.end(),
                            [](std::uint32_t total) { return total == declared; }));
    EXPECT_EQ(root.readFile("/noise.bin"), noise);
}

TEST(ArchiveManagerTest, ExtractsFromAnOffsetAndComputesTheCrcOverExactlyThatRange) {
    const std::string archive = tarGz({{.path = "inside.txt", .contents = "from the middle"}});
    const std::string before(1234, 'B');
    const std::string after(777, 'A');
    const std::uint32_t expectedCrc =
        CoreSystem::CRC32::updateReference(packageStartValue, archive.data(), archive.size());

    for (const bool computeCrc : {true, false}) {
        SCOPED_TRACE(computeCrc);
        const TemporaryUnitRoot root;
        std::istringstream stream(std::string(before).append(archive).append(after));
        const Extraction result =
            extractFrom(stream, static_cast<std::int64_t>(before.size()), archive.size(),
                        (root.path() + "/").c_str(), computeCrc);
        EXPECT_EQ(result.status, ArchiveStatus::clean) << result.printed;
        EXPECT_EQ(result.crc, computeCrc ? expectedCrc : 0U);
        EXPECT_EQ(root.readFile("/inside.txt"), "from the middle");
    }
}

// A stream of `offset` zero bytes followed by `contents`, without holding the zeros.
class SparseStreamBuffer : public std::streambuf {
public:
    SparseStreamBuffer(std::uint64_t offset, std::string contents)
        : offset_(offset), contents_(std::move(contents)) {}

protected:
    pos_type seekoff(off_type offset, std::ios_base::seekdir direction,
                     std::ios_base::openmode /*mode*/) override {
        const auto current = static_cast<off_type>(areaStart_) + (gptr() - eback());
        const auto end = static_cast<off_type>(offset_ + contents_.size());
        const off_type base = direction == std::ios_base::beg   ? 0
                              : direction == std::ios_base::cur ? current
                                                                : end;
        areaStart_ = static_cast<std::uint64_t>(base + offset);
        setg(nullptr, nullptr, nullptr);
        return {static_cast<off_type>(areaStart_)};
    }
    pos_type seekpos(pos_type position, std::ios_base::openmode mode) override {
        return seekoff(off_type(position), std::ios_base::beg, mode);
    }
    int_type underflow() override {
        areaStart_ += static_cast<std::uint64_t>(egptr() - eback());
        char* begin = nullptr;
        std::size_t length = 0;
        if (areaStart_ < offset_) {
            begin = zeros_.data();
            length = static_cast<std::size_t>(
                std::min<std::uint64_t>(zeros_.size(), offset_ - areaStart_));
        } else if (areaStart_ - offset_ < contents_.size()) {
            begin = contents_.data() + (areaStart_ - offset_);
            length = contents_.size() - (areaStart_ - offset_);
        } else {
            return traits_type::eof();
        }
        setg(begin, begin, begin + length);
        return traits_type::to_int_type(*begin);
    }

private:
    std::uint64_t offset_;
    std::string contents_;
    std::string zeros_ = std::string(4096, '\0');
    std::uint64_t areaStart_ = 0;
};

TEST(ArchiveManagerTest, SeeksWithTheFullOffsetToAnArchiveBeyondFourGibibytes) {
    const TemporaryUnitRoot root;
    const std::uint64_t offset = (5ULL << 30U) + 3;  // its low 32 bits point at zeros
    const std::string archive = tarGz({{.path = "far.txt", .contents = "far away"}});
    SparseStreamBuffer buffer(offset, archive);
    std::istream stream(&buffer);

    const Extraction result = extractFrom(stream, static_cast<std::int64_t>(offset), archive.size(),
                                          (root.path() + "/").c_str());

    EXPECT_EQ(result.status, ArchiveStatus::clean) << result.printed;
    EXPECT_EQ(root.readFile("/far.txt"), "far away");
    EXPECT_EQ(result.crc, CoreSystem::CRC32::updateReference(packageStartValue, archive.data(),
                                                             archive.size()));
}

// ---- Members that would land outside the destination ----

struct TraversalCase {
    const char* name;
    std::vector<Member> attack;            // `@` in a path or target stands for the unit root
    std::string refusedPath;               // the stored path that must be refused
    std::vector<std::string> alsoCreated;  // harmless entries the attack leaves in the destination
};

void PrintTo(const TraversalCase& traversalCase, std::ostream* out) {
    *out << traversalCase.name;
}

std::string withRoot(std::string text, const std::string& root) {
    if (const auto at = text.find('@'); at != std::string::npos) {
        text.replace(at, 1, root);
    }
    return text;
}

class TraversalTest : public ::testing::TestWithParam<TraversalCase> {};

TEST_P(TraversalTest, RefusesTheMemberWritesNothingOutsideAndExtractsTheRest) {
    const TemporaryUnitRoot root;
    root.writeFile("/outside/secret", "original");
    std::filesystem::create_directories(root.path() + "/dest");
    std::vector<Member> members = {{.path = "good/first.txt", .contents = "1"}};
    for (Member member : GetParam().attack) {
        member.path = withRoot(member.path, root.path());
        member.symlinkTarget = withRoot(member.symlinkTarget, root.path());
        member.hardlinkTarget = withRoot(member.hardlinkTarget, root.path());
        members.push_back(member);
    }
    members.push_back({.path = "good/last.txt", .contents = "2"});
    const std::string prefix = root.path() + "/dest/";
    const std::string refused = withRoot(GetParam().refusedPath, root.path());

    const Extraction result = extractBytes(tarGz(members), prefix.c_str());

    EXPECT_EQ(result.status, ArchiveStatus::refusedMember);
    EXPECT_THAT(result.printed, HasSubstr(refused));
    EXPECT_THAT(result.started, ::testing::Contains(refused));
    EXPECT_THAT(result.finished, ::testing::Contains(prefix + "good/last.txt"));
    EXPECT_THAT(result.finished, Not(::testing::Contains(prefix + refused)));
    std::vector<std::string> expectedTree = {
        "dest",    "dest/good",     "dest/good/first.txt", "dest/good/last.txt",
        "outside", "outside/secret"};
    for (const std::string& created : GetParam().alsoCreated) {
        expectedTree.push_back("dest/" + created);
    }
    std::sort(expectedTree.begin(), expectedTree.end());
    EXPECT_THAT(treeBelow(root.path()), ElementsAreArray(expectedTree));
    EXPECT_EQ(root.readFile("/outside/secret"), "original");
    struct stat secret {};
    ASSERT_EQ(stat((root.path() + "/outside/secret").c_str(), &secret), 0);
    EXPECT_EQ(secret.st_nlink, 1U);
}

INSTANTIATE_TEST_SUITE_P(
    Attacks, TraversalTest,
    ::testing::Values(
        TraversalCase{"ParentFolder",
                      {{.path = "../outside/planted", .contents = "x"}},
                      "../outside/planted",
                      {}},
        TraversalCase{"ParentFolderDeeper",
                      {{.path = "good/../../outside/planted", .contents = "x"}},
                      "good/../../outside/planted",
                      {}},
        TraversalCase{"AbsolutePath",
                      {{.path = "@/outside/planted", .contents = "x"}},
                      "@/outside/planted",
                      {}},
        TraversalCase{"HardLinkToParentFolder",
                      {{.path = "hard", .hardlinkTarget = "../outside/secret"}},
                      "hard",
                      {}},
        TraversalCase{"HardLinkToAbsolutePath",
                      {{.path = "hard", .hardlinkTarget = "@/outside/secret"}},
                      "hard",
                      {}},
        TraversalCase{"ThroughAbsoluteSymbolicLink",
                      {{.path = "escape", .type = AE_IFLNK, .symlinkTarget = "@/outside"},
                       {.path = "escape/planted", .contents = "x"}},
                      "escape/planted",
                      {"escape"}},
        TraversalCase{"ThroughRelativeSymbolicLink",
                      {{.path = "up", .type = AE_IFLNK, .symlinkTarget = "../outside"},
                       {.path = "up/secret", .contents = "overwritten"}},
                      "up/secret",
                      {"up"}},
        TraversalCase{"CharacterDevice", {{.path = "mem", .type = AE_IFCHR}}, "mem", {}},
        TraversalCase{"BlockDevice", {{.path = "disk", .type = AE_IFBLK}}, "disk", {}},
        TraversalCase{"NamedPipe", {{.path = "good/pipe", .type = AE_IFIFO}}, "good/pipe", {}},
        // The destination lies one folder below the unit root.
        TraversalCase{"LinkClimbingOutOfTheUnitRoot",
                      {{.path = "sub/up", .type = AE_IFLNK, .symlinkTarget = "../../../outside"}},
                      "sub/up",
                      {}},
        TraversalCase{"LinkClimbingBackThroughAName",
                      {{.path = "back", .type = AE_IFLNK, .symlinkTarget = "good/../../.."}},
                      "back",
                      {}},
        TraversalCase{"AbsoluteLinkClimbingAboveTheRoot",
                      {{.path = "above", .type = AE_IFLNK, .symlinkTarget = "/../outside"}},
                      "above",
                      {}}),
    CaseName());

TEST(ArchiveManagerTest, LinksStayInsideTheUnitRootAndAbsoluteTargetsArePlacedBeneathIt) {
    const TemporaryUnitRoot root;
    const std::string prefix = root.path() + "/dest/";
    std::filesystem::create_directories(prefix);
    const struct {
        const char* path;
        const char* target;
        std::string written;
    } links[] = {
        {"sibling", "good/first.txt", "good/first.txt"},
        {"deep/er/up", "../../../outside/secret", "../../../outside/secret"},
        {"etc", "/fs/etfs/app", root.path() + "/fs/etfs/app"},
        {"top", "/", root.path() + "/"},
    };
    std::vector<Member> members = {{.path = "good/first.txt", .contents = "1"}};
    for (const auto& link : links) {
        members.push_back({.path = link.path, .type = AE_IFLNK, .symlinkTarget = link.target});
    }

    const Extraction result = extractBytes(tarGz(members), prefix.c_str());

    EXPECT_EQ(result.status, ArchiveStatus::clean) << result.printed;
    for (const auto& link : links) {
        EXPECT_EQ(std::filesystem::read_symlink(prefix + link.path), link.written) << link.path;
    }
}

TEST(ArchiveManagerTest, WithTheHostsRootAsUnitRootLinksAreWrittenAsStored) {
    const TemporaryUnitRoot scratch;
    const std::string prefix = scratch.path() + "/dest/";
    std::filesystem::create_directories(prefix);
    const std::string& previousRoot = scratch.path();  // the UNIT_ROOT it set
    setenv("UNIT_ROOT", "/", 1);

    const Extraction result =
        extractBytes(tarGz({{.path = "far", .type = AE_IFLNK, .symlinkTarget = "../../../../x"},
                            {.path = "etc", .type = AE_IFLNK, .symlinkTarget = "/etc/passwd"}}),
                     prefix.c_str());
    setenv("UNIT_ROOT", previousRoot.c_str(), 1);

    EXPECT_EQ(result.status, ArchiveStatus::clean) << result.printed;
    EXPECT_EQ(std::filesystem::read_symlink(prefix + "far"), "../../../../x");
    EXPECT_EQ(std::filesystem::read_symlink(prefix + "etc"), "/etc/passwd");
}

TEST(ArchiveManagerTest, ExtractsIntoADestinationReachedThroughASymbolicLink) {
    const TemporaryUnitRoot root;
    std::filesystem::create_directories(root.path() + "/real");
    std::filesystem::create_directory_symlink(root.path() + "/real", root.path() + "/alias");
    const std::string prefix = root.path() + "/alias/new/";

    const Extraction result =
        extractBytes(tarGz({{.path = "a.txt", .contents = "alpha"}}), prefix.c_str());

    EXPECT_EQ(result.status, ArchiveStatus::clean) << result.printed;
    EXPECT_EQ(root.readFile("/real/new/a.txt"), "alpha");
    EXPECT_THAT(result.finished, ElementsAreArray({prefix + "a.txt"}));
}

// Members are written as a plain extraction writes them: what stands in their place is replaced,
// permissions are the stored ones less the umask and without set-id bits, a read-only folder
// still takes its entries, and modification times are restored, folders' included.
TEST(ArchiveManagerTest, ReplacesWhatStandsInTheWayAndRestoresPermissionsAndTimes) {
    const TemporaryUnitRoot root;
    const std::string prefix = root.path() + "/dest/";
    root.writeFile("/dest/file-was-folder/inner", "old");
    std::filesystem::remove(prefix + "file-was-folder/inner");  // an empty folder is replaced
    root.writeFile("/dest/folder-was-file", "old");
    root.writeFile("/dest/link-was-file", "old");
    root.writeFile("/dest/plain", "old contents that are longer");
    const mode_t previousMask = umask(022);

    const Extraction result =
        extractBytes(tarGz({{.path = "file-was-folder", .contents = "new"},
                            {.path = "folder-was-file", .type = AE_IFDIR},
                            {.path = "link-was-file", .type = AE_IFLNK, .symlinkTarget = "plain"},
                            {.path = "plain", .contents = "new"},
                            {.path = "setuid", .contents = "x", .mode = 04777},
                            {.path = "locked", .type = AE_IFDIR, .mode = 0555},
                            {.path = "locked/inside", .contents = "in"}}),
                     prefix.c_str());
    umask(previousMask);

    EXPECT_EQ(result.status, ArchiveStatus::clean) << result.printed;
    EXPECT_EQ(root.readFile("/dest/file-was-folder"), "new");
    EXPECT_TRUE(std::filesystem::is_directory(prefix + "folder-was-file"));
    EXPECT_EQ(std::filesystem::read_symlink(prefix + "link-was-file"), "plain");
    EXPECT_EQ(root.readFile("/dest/plain"), "new");
    EXPECT_EQ(root.readFile("/dest/locked/inside"), "in");
    const struct {
        const char* path;
        mode_t mode;
    } expectations[] = {
        {"plain", 0644}, {"setuid", 0755}, {"locked", 0555}, {"locked/inside", 0644}};
    for (const auto& expected : expectations) {
        struct stat status {};
        ASSERT_EQ(lstat((prefix + expected.path).c_str(), &status), 0) << expected.path;
        EXPECT_EQ(status.st_mode & 07777, expected.mode) << expected.path;
        EXPECT_EQ(status.st_mtim.tv_sec, 1600000000) << expected.path;
    }
}

// ---- Damaged archives and short input ----

struct DamageCase {
    const char* name;
    std::string stream;
    std::int64_t offset;
    std::uint64_t declaredSize;
    ArchiveStatus expected;
    std::string printed;
    bool firstMemberWritten;
};

void PrintTo(const DamageCase& damageCase, std::ostream* out) {
    *out << damageCase.name;
}

std::string compressibleText(std::size_t size) {
    std::string text;
    while (text.size() < size) {
        text += "a line of text that compresses well, number " + std::to_string(text.size()) + "\n";
    }
    return text;
}

// Large enough that libarchive has written the first member before it reaches the second one's
// data: a compressible first member, then random bytes (stored as they are) and more text.
std::string twoMemberArchive() {
    return tarGz(
        {{.path = "first.txt", .contents = compressibleText(200000)},
         {.path = "second.txt", .contents = randomBytes(300000) + compressibleText(200000)}});
}

std::string withDamagedSecondHeader() {
    std::string tar = tarBytes(
        {{.path = "first.txt", .contents = "first"}, {.path = "second.txt", .contents = "second"}});
    // pax_restricted stores plain ustar headers for these names: the first header, one data
    // block, then the second header, whose checksum no longer matches.
    tar[1024 + 3] = static_cast<char>(tar[1024 + 3] ^ 0x55);
    return gzipBytes(tar);
}

// Marks the first deflate block with the reserved block type, which inflate refuses. (Damage
// further on may decode to other bytes unnoticed: libarchive does not check the gzip trailer.)
std::string withDamagedDeflateStart() {
    std::string archive = twoMemberArchive();
    const std::size_t gzipHeaderSize = 10;
    EXPECT_EQ(archive[3], 0) << "the gzip header carries optional fields";
    archive[gzipHeaderSize] = static_cast<char>(archive[gzipHeaderSize] | 0x06);
    return archive;
}

std::vector<DamageCase> damageCases() {
    const std::string archive = twoMemberArchive();
    const std::string cut = archive.substr(0, archive.size() / 2);  // in the random bytes
    const std::string damagedHeader = withDamagedSecondHeader();
    const std::string damagedData = withDamagedDeflateStart();
    return {
        {"StreamEndsBeforeTheDeclaredSize", cut, 0, archive.size(), ArchiveStatus::inputTruncated,
         "input ended after " + std::to_string(cut.size()) + " of", true},
        {"DeclaredSizeBeyondACompleteArchive", archive, 0, archive.size() + 100,
         ArchiveStatus::inputTruncated, "input ended after", true},
        {"OffsetCannotBeReached", archive, -1, archive.size(), ArchiveStatus::inputTruncated,
         "cannot seek", false},
        {"GzipStreamCutShort", cut, 0, cut.size(), ArchiveStatus::corruptArchive,
         "archive_read_data_block() ", true},
        {"DamagedTarHeader", damagedHeader, 0, damagedHeader.size(), ArchiveStatus::corruptArchive,
         "archive_read_next_header() - ", true},
        {"DamagedDeflateStart", damagedData, 0, damagedData.size(), ArchiveStatus::corruptArchive,
         "archive_read_next_header() - ", false},
        {"NotAnArchive", std::string(3000, 'z'), 0, 3000, ArchiveStatus::corruptArchive,
         "archive_read_next_header() - ", false},
    };
}

class DamagedInputTest : public ::testing::TestWithParam<DamageCase> {};

TEST_P(DamagedInputTest, EndsTheExtractionAndReportsWhy) {
    const TemporaryUnitRoot root;
    const DamageCase& damage = GetParam();
    std::istringstream stream(damage.stream);
    const Extraction result =
        extractFrom(stream, damage.offset, damage.declaredSize, (root.path() + "/").c_str());

    EXPECT_EQ(result.status, damage.expected) << result.printed;
    EXPECT_THAT(result.printed, HasSubstr(damage.printed));
    EXPECT_EQ(std::filesystem::exists(root.path() + "/first.txt"), damage.firstMemberWritten);
}

INSTANTIATE_TEST_SUITE_P(Inputs, DamagedInputTest, ::testing::ValuesIn(damageCases()), CaseName());

// ---- The disk refusing members ----

TEST(ArchiveManagerTest, ReportsAWriteFailureWhenAFileStandsWhereAFolderMustBe) {
    const TemporaryUnitRoot root;
    root.writeFile("/blocker", "keep me");

    const Extraction result = extractBytes(tarGz({{.path = "a.txt", .contents = "alpha"}}),
                                           (root.path() + "/blocker/").c_str());

    EXPECT_EQ(result.status, ArchiveStatus::writeFailed);
    EXPECT_THAT(result.printed, HasSubstr("Cannot create archive member a.txt - Not a directory"));
    EXPECT_TRUE(result.finished.empty());
    EXPECT_EQ(root.readFile("/blocker"), "keep me");
}

TEST(ArchiveManagerTest, ReportsAWriteFailureWhenTheDiskStopsTakingData) {
    const TemporaryUnitRoot root;
    const std::string archive =
        tarGz({{.path = "small.txt", .contents = "small"},
               {.path = "big.bin", .contents = randomBytes(std::size_t{64} * 1024)}});

    Extraction result;
    {
        const FileSizeLimit limit(rlim_t{16} * 1024);
        result = extractBytes(archive, (root.path() + "/").c_str());
    }

    EXPECT_EQ(result.status, ArchiveStatus::writeFailed);
    EXPECT_THAT(result.printed, HasSubstr("Cannot write archive member big.bin - File too large"));
    EXPECT_THAT(result.finished, ElementsAreArray({root.path() + "/small.txt"}));
    EXPECT_EQ(root.readFile("/small.txt"), "small");
}

}  // namespace
