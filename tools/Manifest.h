#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "tools/PackageWriter.h"

namespace Packaging {

// The text file that describes a package to build, one setting per line:
//
//   # comment (also after a blank: "component ... app.tar.gz  # the application")
//   hardware-family 1                 required; decimal or 0x hexadecimal
//   flags 0x6                         optional; the password and part-number-lock lines set
//                                     bits 0x2 and 0x4 themselves
//   password 1234                     the rest of the line is the text (at most 117 bytes)
//   part-number-lock 61-20-5050
//   component TYPE VERSION PATH       TYPE: 1 to 15 or a name (application, os, ...);
//                                     VERSION: MAJOR.MINOR.BUILD or a number; PATH: the rest
//                                     of the line, relative to the manifest's folder
//
// Components go into the package in the order of their lines.
class Manifest {
public:
    struct Error {
        // 0 when the problem is not on one line (a missing setting).
        int line = 0;
        std::string message;
    };

    PackageDescription description;
    // The manifest line of each component, for messages about its file.
    std::vector<int> componentLines;

    // Parses manifest text; relative component paths are taken from `baseDirectory`.
    static bool parse(std::string_view text, const std::string& baseDirectory, Manifest& manifest,
                      Error& error);
    // Reads and parses a manifest file; `error` reads "PATH:LINE: message".
    static bool load(const std::string& path, Manifest& manifest, std::string& error);
};

}  // namespace Packaging
