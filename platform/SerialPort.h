#pragma once

#include <cstddef>
#include <string>

namespace Platform {

// A serial line: on the unit a serial driver's port, on the host a pseudo-terminal whose slave
// side the port's path links to. Move-only; the destructor closes it.
class SerialPort {
public:
    SerialPort() = default;
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;
    SerialPort(SerialPort&& other) noexcept;
    SerialPort& operator=(SerialPort&& other) noexcept;
    ~SerialPort();

    // Opens the port for reading and writing, blocking, and sets the line up: `baudRate` both
    // ways (9600, 19200, 38400, 57600 or 115200), hardware (RTS/CTS) flow control, no bell on a
    // full input queue and no newline translation on output. The settings are applied at once
    // and again after the output has drained and the input was discarded. A line that refuses a
    // setting (a pseudo-terminal ignores the speed) is used as it is. Not open when the port
    // cannot be opened or the rate is none of those.
    [[nodiscard]] static SerialPort open(const std::string& hostPath, int baudRate);
    // Takes over an open descriptor of a line made elsewhere (one end of a socket pair in tests).
    [[nodiscard]] static SerialPort adopt(int descriptor);

    bool isOpen() const { return descriptor_ >= 0; }

    // Switches parity generation and checking on (even parity) or off, after the output has
    // drained and the input was discarded. False when the line refuses (a pseudo-terminal
    // refuses parity).
    [[nodiscard]] bool setEvenParity(bool on);
    // Writes the bytes with one write: the count accepted, or -1.
    [[nodiscard]] long write(const void* data, std::size_t size);
    // Waits at most `timeoutMilliseconds` for bytes to arrive and reads what is there, at most
    // `size` bytes: the count read, 0 when nothing came or the read failed.
    [[nodiscard]] std::size_t read(void* buffer, std::size_t size, int timeoutMilliseconds);
    // Waits until everything written has left, then throws away whatever has arrived and not
    // been read. Draining first matters: a pseudo-terminal's flush also throws away output that
    // is still queued. False when the line refused either step.
    [[nodiscard]] bool discardInputAfterDraining();
    void close();

private:
    explicit SerialPort(int descriptor) : descriptor_(descriptor) {}

    int descriptor_ = -1;
};

}  // namespace Platform
