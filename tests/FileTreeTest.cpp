#include "platform/FileTree.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "FileTreeFixtures.h"
#include "TestSupport.h"

namespace {

using Platform::FileTree;
using TestSupport::TemporaryUnitRoot;

// What the mode and owner walks set; entries are made with other values.
constexpr mode_t walkMode = 0750;
constexpr uid_t walkOwner = 4321;
// Owner of what lies outside the walked tree.
constexpr uid_t outsideOwner = 1234;

// A walk under test, and what it leaves an entry it handled like.
struct Walk {
    const char* name;
    std::function<bool(const std::string&)> run;
    // Whether `status` (lstat of an entry that still exists) shows the walk's change.
    std::function<bool(const struct stat&)> changed;
};

// The removal comes last, so that one tree can meet every walk in turn.
const Walk walks[] = {
    {"changeMode", [](const std::string& path) { return FileTree::changeMode(path, walkMode); },
     [](const struct stat& status) {
         return S_ISLNK(status.st_mode) || (status.st_mode & 07777) == walkMode;
     }},
    {"changeOwner",
     [](const std::string& path) { return FileTree::changeOwner(path, walkOwner, walkOwner); },
     [](const struct stat& status) {
         return status.st_uid == walkOwner && status.st_gid == walkOwner;
     }},
    {"remove", [](const std::string& path) { return FileTree::remove(path); },
     [](const struct stat& /*status*/) { return false; }},
};

bool isRemoval(const Walk& walk) {
    return std::string(walk.name) == "remove";
}

// lstat of `hostPath`; the test fails when it does not exist.
struct stat statusOf(const std::string& hostPath) {
    struct stat status {};
    EXPECT_EQ(lstat(hostPath.c_str(), &status), 0) << hostPath;
    return status;
}

bool exists(const std::string& hostPath) {
    struct stat status {};
    return lstat(hostPath.c_str(), &status) == 0;
}

// The highest descriptor this process has open.
int highestOpenDescriptor() {
    int highest = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        highest = std::max(highest, std::stoi(entry.path().filename().string()));
    }
    return highest;
}

int openDescriptorCount() {
    const std::filesystem::directory_iterator entries("/proc/self/fd");
    return static_cast<int>(std::distance(begin(entries), end(entries)));
}

// Lets this process open only `spare` more descriptors while it lives.
class DescriptorBudget {
public:
    explicit DescriptorBudget(rlim_t spare) {
        getrlimit(RLIMIT_NOFILE, &previous_);
        rlimit lowered = previous_;
        lowered.rlim_cur = static_cast<rlim_t>(highestOpenDescriptor()) + 1 + spare;
        setrlimit(RLIMIT_NOFILE, &lowered);
    }
    DescriptorBudget(const DescriptorBudget&) = delete;
    DescriptorBudget& operator=(const DescriptorBudget&) = delete;
    DescriptorBudget(DescriptorBudget&&) = delete;
    DescriptorBudget& operator=(DescriptorBudget&&) = delete;
    ~DescriptorBudget() { setrlimit(RLIMIT_NOFILE, &previous_); }

private:
    rlimit previous_{};
};

// Calls `check` with the status of every folder and file of a tree made by makeDeepTree, going
// down relative to descriptors; the number of folders seen.
int forEachLevel(const std::string& hostPath,
                 const std::function<void(const struct stat&)>& check) {
    int folder = open(hostPath.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    int folders = 0;
    while (folder >= 0) {
        ++folders;
        struct stat status {};
        EXPECT_EQ(fstat(folder, &status), 0);
        check(status);
        EXPECT_EQ(fstatat(folder, "file", &status, AT_SYMLINK_NOFOLLOW), 0);
        check(status);
        const int next = openat(folder, "level", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        close(folder);
        folder = next;
    }
    return folders;
}

TEST(FileTreeTest, TreesDeeperThanPathMaxAreHandledWholeWithFewDescriptors) {
    const TemporaryUnitRoot root;
    const std::string top = root.path() + "/deep";
    const TestSupport::TreeCleanup cleanup(top);
    ASSERT_TRUE(TestSupport::makeDeepTree(top, TestSupport::deepTreeLevels));
    for (const Walk& walk : walks) {
        SCOPED_TRACE(walk.name);
        const int descriptorsBefore = openDescriptorCount();

        bool handled = false;
        {
            // Far fewer than the tree has levels.
            const DescriptorBudget budget(80);
            handled = walk.run(top);
        }

        EXPECT_TRUE(handled);
        EXPECT_EQ(openDescriptorCount(), descriptorsBefore);
        if (isRemoval(walk)) {
            EXPECT_FALSE(exists(top));
            continue;
        }
        int unchanged = 0;
        const int folders = forEachLevel(
            top, [&](const struct stat& status) { unchanged += walk.changed(status) ? 0 : 1; });
        EXPECT_EQ(folders, TestSupport::deepTreeLevels + 1);
        EXPECT_EQ(unchanged, 0);
    }
}

// A folder and a file outside the walked tree, which links inside it point at.
class FileTreeLinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        root.writeFile("/outside/kept", "not the walk's");
        chmod(outside("/kept").c_str(), 0600);
        chmod(outside("").c_str(), 0755);
        for (const std::string& path : {outside("/kept"), outside("")}) {
            ASSERT_EQ(chown(path.c_str(), outsideOwner, outsideOwner), 0);
        }
    }

    std::string outside(const std::string& name) const { return root.path() + "/outside" + name; }

    void expectOutsideUntouched() const {
        EXPECT_EQ(root.readFile("/outside/kept"), "not the walk's");
        const struct stat file = statusOf(outside("/kept"));
        const struct stat folder = statusOf(outside(""));
        EXPECT_EQ(file.st_mode & 07777, 0600U);
        EXPECT_EQ(folder.st_mode & 07777, 0755U);
        EXPECT_EQ(file.st_uid, outsideOwner);
        EXPECT_EQ(folder.st_uid, outsideOwner);
    }

    TemporaryUnitRoot root;
};

TEST_F(FileTreeLinkTest, LinksInsideTheTreeAreHandledThemselvesAndNeverFollowed) {
    for (const Walk& walk : walks) {
        SCOPED_TRACE(walk.name);
        const std::string tree = root.path() + "/tree";
        std::filesystem::remove_all(tree);
        root.writeFile("/tree/sub/regular", "inside");
        std::filesystem::create_directory_symlink(outside(""), tree + "/folderLink");
        std::filesystem::create_symlink(outside("/kept"), tree + "/fileLink");
        std::filesystem::create_directory_symlink("../../outside", tree + "/sub/relativeLink");

        EXPECT_TRUE(walk.run(tree));

        expectOutsideUntouched();
        if (isRemoval(walk)) {
            EXPECT_FALSE(exists(tree));
            continue;
        }
        for (const char* inside :
             {"", "/sub", "/sub/regular", "/folderLink", "/fileLink", "/sub/relativeLink"}) {
            EXPECT_TRUE(walk.changed(statusOf(tree + inside))) << inside;
        }
        EXPECT_TRUE(std::filesystem::is_symlink(tree + "/folderLink"));
    }
}

TEST_F(FileTreeLinkTest, ALinkNamedAsTheTopIsHandledItself) {
    // A trailing slash would make the path name the link's target; the walks still take the link.
    for (const char* named : {"/topLink", "/topLink/"}) {
        for (const Walk& walk : walks) {
            SCOPED_TRACE(std::string(walk.name) + " " + named);
            const std::string link = root.path() + "/topLink";
            std::filesystem::remove(link);
            std::filesystem::create_directory_symlink(outside(""), link);

            EXPECT_TRUE(walk.run(root.path() + named));

            expectOutsideUntouched();
            if (isRemoval(walk)) {
                EXPECT_FALSE(exists(link));
            } else {
                EXPECT_TRUE(walk.changed(statusOf(link)));
            }
        }
    }
}

TEST(FileTreeTest, TopPathsThatAreMissingSingleOrUnreachable) {
    struct Case {
        const char* name;
        const char* path;
        bool handled;
    };
    const Case cases[] = {
        // A first install has no old tree: nothing to do.
        {"missing", "/missing", true},
        {"missing parent", "/missing/tree", true},
        {"single file", "/single", true},
        {"beneath a file", "/single/tree", false},
    };
    for (const Case& testCase : cases) {
        for (const Walk& walk : walks) {
            SCOPED_TRACE(std::string(testCase.name) + ", " + walk.name);
            const TemporaryUnitRoot root;
            root.writeFile("/single", "one file");

            EXPECT_EQ(walk.run(root.path() + testCase.path), testCase.handled);

            if (std::string(testCase.path) != "/single") {
                EXPECT_EQ(root.readFile("/single"), "one file");
            } else if (isRemoval(walk)) {
                EXPECT_FALSE(exists(root.path() + "/single"));
            } else {
                EXPECT_TRUE(walk.changed(statusOf(root.path() + "/single")));
            }
        }
    }
}

TEST(FileTreeTest, AnEntryThatCannotBeHandledIsReportedAndTheRestIsDone) {
    for (const Walk& walk : walks) {
        SCOPED_TRACE(walk.name);
        const TemporaryUnitRoot root;
        const std::string tree = root.path() + "/tree";
        for (const char* file : {"/tree/a/locked", "/tree/a/other", "/tree/b/file", "/tree/z"}) {
            root.writeFile(file, "x");
        }
        const TestSupport::ImmutableEntry locked(tree + "/a/locked");
        if (!locked.applied()) {
            GTEST_SKIP() << "this file system or process cannot mark an entry immutable";
        }

        EXPECT_FALSE(walk.run(tree));

        EXPECT_TRUE(exists(tree + "/a/locked"));
        EXPECT_FALSE(walk.changed(statusOf(tree + "/a/locked")));
        if (isRemoval(walk)) {
            // Only the folders on the way to the locked file are left.
            EXPECT_FALSE(exists(tree + "/a/other"));
            EXPECT_FALSE(exists(tree + "/b"));
            EXPECT_FALSE(exists(tree + "/z"));
            EXPECT_TRUE(exists(tree + "/a"));
            continue;
        }
        for (const char* done : {"", "/a", "/a/other", "/b", "/b/file", "/z"}) {
            EXPECT_TRUE(walk.changed(statusOf(tree + done))) << done;
        }
    }
}

}  // namespace
