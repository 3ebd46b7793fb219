#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <optional>
#include <string>

#include "CoreSystem/Console.h"
#include "tools/ComponentNames.h"
#include "tools/Manifest.h"
#include "tools/PackageSealCheck.h"
#include "tools/PackageSealer.h"
#include "tools/PackageWriter.h"
#include "tools/RsaPublicKey.h"
#include "tools/SealKeyFile.h"
#include "tools/kx1/Command.h"
#include "tools/kx1/TerminalProgress.h"

namespace Kx1 {
namespace {

// The text broken into lines of at most `width` characters, each starting with `indent`.
std::string wrapped(const std::string& text, const std::string& indent, std::size_t width) {
    std::string result;
    std::string line = indent;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find(' ', start);
        end = end == std::string::npos ? text.size() : end;
        const std::string word = text.substr(start, end - start);
        if (line.size() > indent.size() && line.size() + 1 + word.size() > width) {
            result += line + "\n";
            line = indent;
        }
        line += (line.size() > indent.size() ? " " : "") + word;
        start = end + 1;
    }
    return result + line + "\n";
}

bool readableFile(const std::string& path) {
    struct stat status {};
    return stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
           access(path.c_str(), R_OK) == 0;
}

int pack(const CommandLine& line) {
    // Required: the parser made sure it is there.
    const std::string keyPath = line.value("--key").value();
    const std::string& manifestPath = line.positionals()[0];
    const std::string& outputPath = line.positionals()[1];
    Packaging::Manifest manifest;
    std::string error;
    if (!Packaging::Manifest::load(manifestPath, manifest, error)) {
        return line.fail(error);
    }
    const auto& components = manifest.description.components;
    for (std::size_t index = 0; index < components.size(); ++index) {
        if (!readableFile(components[index].path)) {
            return line.fail(manifestPath + ":" + std::to_string(manifest.componentLines[index]) +
                             ": cannot read component file " + components[index].path);
        }
    }
    const Packaging::RsaPublicKey key = Packaging::RsaPublicKey::fromPemFile(keyPath);
    if (!key.isValid()) {
        return line.fail(key.problem());
    }
    // The seal key is read before anything is written, so that a wrong one costs no packing.
    std::optional<Boot::PackageSeal::Key> sealKey;
    if (!Packaging::SealKeyFile::readGiven(line.value("--seal-key"),
                                           Packaging::SealKeyFile::Use::seal, sealKey, error)) {
        return line.fail(error);
    }
    std::uint64_t dataSize = 0;
    {
        TerminalProgress progress("packing");
        if (!Packaging::PackageWriter::write(manifest.description, key, outputPath, error,
                                             [&](std::uint64_t done, std::uint64_t total) {
                                                 progress.update(done, total);
                                                 dataSize = total;
                                             })) {
            progress.clear();
            return line.fail(error);
        }
    }
    std::string report = "wrote " + outputPath + ": " + std::to_string(components.size()) +
                         (components.size() == 1 ? " component, " : " components, ") +
                         std::to_string(dataSize) + " bytes of component data\n";
    if (sealKey) {
        Packaging::PackageSealer::Result sealed;
        TerminalProgress progress("sealing");
        if (!Packaging::PackageSealer::appendTo(
                outputPath, *sealKey, sealed, error,
                [&](std::uint64_t done, std::uint64_t total) { progress.update(done, total); })) {
            progress.clear();
            // A package asked for sealed must not be left behind unsealed.
            std::remove(outputPath.c_str());
            return line.fail(error);
        }
        report += "sealed: " + Packaging::PackageSealCheck::describeSeal(sealed.seal) + ", over " +
                  std::to_string(sealed.coveredBytes) + " bytes\n";
    }
    CoreSystem::Console::print(report);
    return exitSuccess;
}

}  // namespace

Command packCommand() {
    return {
        .name = "pack",
        .summary = "build and seal a package from a manifest",
        .usage = "MANIFEST OUT.kx1 --key KEY.pem [--seal-key SEAL.pem]",
        .help =
            "Builds the install package OUT.kx1 from the components that MANIFEST names and\n"
            "encrypts its signature, password and part-number blocks with the public half of\n"
            "KEY.pem (a \"PUBLIC KEY\" file, or a private key file whose public half is\n"
            "used). The key must be the pair of the key the unit's loader carries; there is\n"
            "no default, so that no package is signed with the wrong key by accident.\n"
            "Component data is copied in pieces; on a terminal the progress shows on stderr.\n"
            "The whole package must stay below 4 GiB, the most the unit reads.\n"
            "With --seal-key the package is also sealed (see kx1 seal --help): read back once\n"
            "written and hashed, with the seal appended after the last component's data.\n"
            "\n"
            "MANIFEST is a text file with one setting per line ('#' starts a comment at the\n"
            "start of a line or after a blank):\n"
            "  hardware-family NUMBER       required; the unit's hardware family\n"
            "  flags NUMBER                 optional; password and part-number-lock set\n"
            "                               bits 0x2 and 0x4 themselves\n"
            "  password TEXT                the rest of the line, at most 117 bytes\n"
            "  part-number-lock TEXT\n"
            "  component TYPE VERSION PATH  one per component, in install order\n"
            "NUMBER is decimal or 0x hexadecimal. TYPE is 1 to 15 or one of:\n" +
            wrapped(Packaging::ComponentNames::allNames() + ".", "  ", 80) +
            "VERSION is MAJOR.MINOR.BUILD (minor 0-9, build 0-99999; 2.9.10247 is stored\n"
            "as 2910247) or a plain number. PATH is the rest of the line, relative to the\n"
            "manifest's folder unless absolute.\n"
            "\n"
            "example:\n"
            "  hardware-family 1\n"
            "  password 1234\n"
            "  component application 2.9.10247 app.tar.gz\n"
            "  component end 1.0.0 end.bin\n"
            "\n"
            "options:\n"
            "  --key PATH        the loader key to sign with (required)\n"
            "  --seal-key PATH   the private half of a seal key to seal the package with\n",
        .options = {{"--key", OptionKind::requiredValue}, {"--seal-key", OptionKind::value}},
        .minimumArguments = 2,
        .maximumArguments = 2,
        .run = pack,
    };
}

}  // namespace Kx1
