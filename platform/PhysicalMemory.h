#pragma once

#include <cstddef>
#include <cstdint>

namespace Platform {

// A mapping of physical memory or device registers. On the host, physical address P is byte P
// of the file UNIT_ROOT/dev/mem; registers are 32-bit little-endian. Move-only; the destructor
// unmaps.
class PhysicalMemory {
public:
    PhysicalMemory() = default;
    PhysicalMemory(const PhysicalMemory&) = delete;
    PhysicalMemory& operator=(const PhysicalMemory&) = delete;
    PhysicalMemory(PhysicalMemory&& other) noexcept;
    PhysicalMemory& operator=(PhysicalMemory&& other) noexcept;
    ~PhysicalMemory();

    // Maps `length` bytes at `physicalAddress`; the result is not mapped when the memory file
    // is missing or the mapping is refused.
    [[nodiscard]] static PhysicalMemory map(std::uint64_t physicalAddress, std::size_t length,
                                            bool writable);

    // Grants the calling thread access to device I/O; the host needs nothing, so it succeeds.
    [[nodiscard]] static bool obtainIoPrivilege() { return true; }

    bool isMapped() const { return base_ != nullptr; }
    std::size_t size() const { return length_; }
    // The mapped bytes; null when not mapped.
    const std::uint8_t* data() const { return base_; }

    std::uint32_t read32(std::size_t offset) const;
    void write32(std::size_t offset, std::uint32_t value);
    void write16(std::size_t offset, std::uint16_t value);

    void unmap();

private:
    std::uint8_t* base_ = nullptr;  // first requested byte inside the page-aligned mapping
    std::size_t length_ = 0;
    void* mapping_ = nullptr;
    std::size_t mappingLength_ = 0;
};

}  // namespace Platform
