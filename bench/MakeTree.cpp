// Writes the generated application tree into a new folder, for bench/run's inputs when the
// machine has too few files of its own.
//
//   make_tree FOLDER ENTRIES    FOLDER must not exist yet; its parent must
//
// Exit status: 0 when the tree was written, 1 when it could not be, 2 for wrong arguments.
#include <optional>
#include <string>

#include "ApplicationTree.h"
#include "BenchSupport.h"
#include "CoreSystem/Console.h"

int main(int argc, char* argv[]) {
    const std::optional<std::size_t> entries =
        argc == 3 ? BenchSupport::parseSize(argv[2]) : std::nullopt;
    if (!entries) {
        CoreSystem::Console::print("usage: make_tree FOLDER ENTRIES\n");
        return 2;
    }
    std::string error;
    const std::optional<BenchSupport::ApplicationTree> tree =
        BenchSupport::writeApplicationTree(argv[1], *entries, error);
    if (!tree) {
        CoreSystem::Console::printf("make_tree: %s\n", error.c_str());
        return 1;
    }
    CoreSystem::Console::printf("result folders=%llu files=%llu links=%llu content_bytes=%llu\n",
                                static_cast<unsigned long long>(tree->folders),
                                static_cast<unsigned long long>(tree->files),
                                static_cast<unsigned long long>(tree->links),
                                static_cast<unsigned long long>(tree->contentBytes));
    return 0;
}
