#pragma once
// Cipher block chaining (NIST SP 800-38A, 6.2), encryption only, over any 16-byte
// block function. A value with no state; any thread.
#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <stdexcept>
#include <vector>

namespace kiv {

class CBCBlockMode {
public:
    static constexpr std::size_t blockSize = 16;
    using Block = std::array<std::uint8_t, blockSize>;
    using BlockFunction = std::function<Block(const Block&)>;

    enum class BlockError { MissingInitializationVector };

    // Raised by encrypt; `code()` tells which.
    class Error : public std::runtime_error {
    public:
        explicit Error(BlockError code);
        BlockError code() const { return code_; }

    private:
        BlockError code_;
    };

    // Chains `padded` (a whole number of blocks, already padded by the caller) under
    // `iv`; the result holds the ciphertext blocks without the IV. Raises Error for an
    // empty IV and std::invalid_argument for an IV that is not one block long or
    // input that is not a whole number of blocks.
    std::vector<std::uint8_t> encrypt(std::span<const std::uint8_t> padded, std::span<const std::uint8_t> iv,
                                      const BlockFunction& encryptBlock) const;
};

}  // namespace kiv
