#include "platform/PhysicalMemory.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cassert>
#include <utility>

#include "platform/UnitRoot.h"

namespace Platform {

PhysicalMemory::PhysicalMemory(PhysicalMemory&& other) noexcept
    : base_(std::exchange(other.base_, nullptr)),
      length_(std::exchange(other.length_, 0)),
      mapping_(std::exchange(other.mapping_, nullptr)),
      mappingLength_(std::exchange(other.mappingLength_, 0)) {}

PhysicalMemory& PhysicalMemory::operator=(PhysicalMemory&& other) noexcept {
    if (this != &other) {
        unmap();
        base_ = std::exchange(other.base_, nullptr);
        length_ = std::exchange(other.length_, 0);
        mapping_ = std::exchange(other.mapping_, nullptr);
        mappingLength_ = std::exchange(other.mappingLength_, 0);
    }
    return *this;
}

PhysicalMemory::~PhysicalMemory() {
    unmap();
}

PhysicalMemory PhysicalMemory::map(std::uint64_t physicalAddress, std::size_t length,
                                   bool writable) {
    PhysicalMemory memory;
    const std::string path = UnitRoot::hostPath("/dev/mem");
    const int handle = ::open(path.c_str(), (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC);
    if (handle < 0) {
        return memory;
    }
    // Touching a page beyond the end of the file would raise SIGBUS: refuse such a mapping.
    struct stat status {};
    if (fstat(handle, &status) != 0 ||
        physicalAddress + length > static_cast<std::uint64_t>(status.st_size)) {
        ::close(handle);
        return memory;
    }
    const auto pageSize = static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
    const std::uint64_t pageStart = physicalAddress - physicalAddress % pageSize;
    const auto lead = static_cast<std::size_t>(physicalAddress - pageStart);
    void* mapping = mmap(nullptr, lead + length, writable ? PROT_READ | PROT_WRITE : PROT_READ,
                         MAP_SHARED, handle, static_cast<off_t>(pageStart));
    ::close(handle);
    if (mapping == MAP_FAILED) {
        return memory;
    }
    memory.mapping_ = mapping;
    memory.mappingLength_ = lead + length;
    memory.base_ = static_cast<std::uint8_t*>(mapping) + lead;
    memory.length_ = length;
    return memory;
}

std::uint32_t PhysicalMemory::read32(std::size_t offset) const {
    assert(base_ != nullptr && offset + 4 <= length_);
    const volatile std::uint8_t* bytes = base_ + offset;
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8U |
           static_cast<std::uint32_t>(bytes[2]) << 16U |
           static_cast<std::uint32_t>(bytes[3]) << 24U;
}

void PhysicalMemory::write32(std::size_t offset, std::uint32_t value) {
    assert(base_ != nullptr && offset + 4 <= length_);
    volatile std::uint8_t* bytes = base_ + offset;
    for (std::size_t index = 0; index < 4; ++index) {
        bytes[index] = static_cast<std::uint8_t>(value >> (8 * index));
    }
}

void PhysicalMemory::write16(std::size_t offset, std::uint16_t value) {
    assert(base_ != nullptr && offset + 2 <= length_);
    volatile std::uint8_t* bytes = base_ + offset;
    bytes[0] = static_cast<std::uint8_t>(value);
    bytes[1] = static_cast<std::uint8_t>(value >> 8U);
}

void PhysicalMemory::unmap() {
    if (mapping_ != nullptr) {
        munmap(mapping_, mappingLength_);
    }
    mapping_ = nullptr;
    mappingLength_ = 0;
    base_ = nullptr;
    length_ = 0;
}

}  // namespace Platform
