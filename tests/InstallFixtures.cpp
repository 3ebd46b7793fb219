#include "InstallFixtures.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <utility>

#include <gtest/gtest.h>

#include "CoreSystem/HardwareManager.h"
#include "platform/DeviceCommands.h"

namespace TestSupport {

LoaderUnitTest::LoaderUnitTest()
    : ipl_(root.prepare("/dev/iplctl"),
           {.devctl = [](std::uint32_t command, std::vector<std::uint8_t>& data) -> std::int32_t {
               if (command != Platform::DeviceCommands::iplReadDataBlock1) {
                   return EINVAL;
               }
               data = makeBlock1({{0, 1234}, {1, 5678}, {8, 3}, {9, 1}});
               return 0;
           }}) {}

void LoaderUnitTest::SetUp() {
    setenv("DEVICEFAMILY", "M2", 1);
    unsetenv("AUTOLOADPATH");
    CoreSystem::Hardware::Manager::resetCachedState();
    root.writeFile("/mnt/stick/.keep", "");
    root.writeFile("/fs/etfs/.keep", "");
}

void LoaderUnitTest::TearDown() {
    unsetenv("DEVICEFAMILY");
    CoreSystem::Hardware::Manager::resetCachedState();
}

void PrintTo(const Report& report, std::ostream* out) {
    *out << report.percent << " \"" << report.text << '"';
}

std::vector<std::string> installLogLines(const TemporaryUnitRoot& root) {
    std::string text = root.readFile("/mnt/stick/install.log");
    for (std::size_t found = text.find(root.path()); found != std::string::npos;
         found = text.find(root.path(), found)) {
        text.erase(found, root.path().size());
    }
    std::vector<std::string> lines;
    for (std::size_t start = 0, end = 0; start < text.size(); start = end + 2) {
        end = text.find("\r\n", start);
        EXPECT_NE(end, std::string::npos) << "unterminated line: " << text.substr(start);
        if (end == std::string::npos) {
            break;
        }
        lines.push_back(text.substr(start, end - start));
    }
    return lines;
}

std::string sealBlock(std::string_view package, const Boot::PackageSeal::Key& key) {
    Boot::PackageSeal::Hasher hasher;
    hasher.update(std::span<const char>(package.data(), package.size()));
    const std::vector<std::uint8_t> block =
        Boot::PackageSeal::make(key, hasher.finish().value())->encode();
    return {block.begin(), block.end()};
}

std::shared_ptr<const Boot::SealedData> sealedData(std::string_view before, std::string_view seen) {
    Boot::PackageSeal::Hasher hashBefore;
    hashBefore.update(std::span<const char>(before.data(), before.size()));
    Boot::PackageSeal::Hasher hashAfter(hashBefore);
    hashAfter.update(std::span<const char>(seen.data(), seen.size()));
    return std::make_shared<const Boot::SealedData>(
        Boot::SealedData{std::move(hashBefore), hashAfter.finish().value()});
}

}  // namespace TestSupport
