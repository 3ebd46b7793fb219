#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "platform/File.h"
#include "sim/unitsim/UnitFolder.h"

namespace Sim::Unitsim {

// The unit's USB stick slot: the stick is in while the folder mnt/stick/ exists beneath the unit
// root. Files reach the stick whole (received beside it, then renamed into place), so that the
// loader never lists half a file; nothing is written through a symbolic link on the way.
class StickSlot {
public:
    struct File {
        std::string name;
        std::uintmax_t size = 0;
    };

    // A file on its way to the stick: written in pieces, put on the stick by `finish`, thrown
    // away when dropped unfinished.
    class Incoming {
    public:
        Incoming(const Incoming&) = delete;
        Incoming& operator=(const Incoming&) = delete;
        Incoming(Incoming&& other) noexcept;
        Incoming& operator=(Incoming&&) = delete;
        ~Incoming();

        // CommandFailure when the bytes cannot be written.
        void write(std::span<const char> bytes);
        std::uintmax_t size() const { return size_; }
        // Puts the file on the stick (inserting it) and returns its host path.
        std::string finish();

    private:
        friend class StickSlot;
        Incoming(UnitFolder unit, std::string name, Platform::File file, std::string temporaryPath);

        // Kept by value: an incoming file outlives the slot that started it.
        UnitFolder unit_;
        std::string name_;
        Platform::File file_;
        std::string temporaryPath_;
        std::uintmax_t size_ = 0;
    };

    explicit StickSlot(UnitFolder unit) : unit_(std::move(unit)) {}

    // Why `name` cannot name a file on the stick (empty, "." or "..", a path, a control
    // character), or nothing when it can.
    static std::optional<std::string> nameProblem(const std::string& name);

    bool isInserted() const;
    // The stick's files by name; none when the stick is out.
    std::vector<File> files() const;
    std::string hostPath(const std::string& name) const;

    // Starts receiving a file called `name`: UsageError when that is no plain file name,
    // CommandFailure when it cannot be received.
    Incoming receive(const std::string& name) const;
    // Takes the stick out, with everything on it.
    void remove() const;

private:
    UnitFolder unit_;
};

}  // namespace Sim::Unitsim
