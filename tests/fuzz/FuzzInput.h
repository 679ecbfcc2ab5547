// Shared by the fuzz harnesses: the input read as a stream of small
// decisions, and a private host for the code that touches fixed paths.
#ifndef QUELVAR_TESTS_FUZZ_FUZZINPUT_H
#define QUELVAR_TESTS_FUZZ_FUZZINPUT_H

#include <cstddef>
#include <cstdint>
#include <string>

// Reads the fuzzer's bytes front to back; past the end every read gives 0.
class FuzzInput {
public:
    FuzzInput(const uint8_t* bytes, size_t length) : data(bytes), size(length) {}

    uint8_t Byte() { return at < size ? data[at++] : 0; }
    uint16_t Word() { return static_cast<uint16_t>((Byte() << 8) | Byte()); }
    // Up to `most` bytes, fewer at the end of the input.
    std::string Bytes(size_t most)
    {
        size_t take = most < size - at ? most : size - at;
        std::string bytes(reinterpret_cast<const char*>(data + at), take);
        at += take;
        return bytes;
    }
    // A length byte, then that many bytes.
    std::string Chunk() { return Bytes(Byte()); }
    std::string Rest() { return Bytes(size - at); }
    bool Empty() const { return at >= size; }

private:
    const uint8_t* data;
    size_t size;
    size_t at = 0;
};

// Enters a private mount namespace (a user namespace too when not root) with
// a fresh tmpfs over /var/log, holding an empty /var/log/quelvar for the log
// writer and room for a harness's own files, so that no harness writes to
// the host. Ends the process with a message when that is not possible.
void EnterScratchHost();

// Ends the process with `message` on standard error: a broken promise of the
// code under test, which libFuzzer then reports as a crash with its input.
[[noreturn]] void FuzzFail(const char* message);

#define FUZZ_CHECK(condition)                                        \
    do {                                                             \
        if (!(condition)) {                                          \
            FuzzFail(__FILE__ ": broken promise: " #condition);      \
        }                                                            \
    } while (0)

#endif
