#pragma once
// AES (FIPS-197) with 128-, 192- or 256-bit keys, encrypting in CBC mode with PKCS#7
// padding. Encryption only. One object per key and IV; its methods are const and may
// be called from any thread. The round keys are wiped when the object goes.
#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "app/support/CBCBlockMode.hpp"

namespace kiv {

class AESCipher {
public:
    using Block = CBCBlockMode::Block;

    // Raises std::invalid_argument for a key that is not 16, 24 or 32 bytes, or an IV
    // that is neither empty nor 16 bytes (an empty IV is refused when encrypting).
    AESCipher(std::span<const std::uint8_t> key, std::span<const std::uint8_t> iv);
    ~AESCipher();
    AESCipher(const AESCipher&) = default;
    AESCipher& operator=(const AESCipher&) = default;

    // PKCS#7-pads `plaintext` to whole blocks (a full block when it already is) and
    // chains it under the IV; the result is the ciphertext without the IV, 16 x
    // (floor(n / 16) + 1) bytes. Raises CBCBlockMode::Error for an empty IV.
    std::vector<std::uint8_t> encrypt(std::span<const std::uint8_t> plaintext) const;

    // The bare block function (for known-answer checks).
    Block encryptBlock(const Block& in) const;

    int rounds() const { return rounds_; }

private:
    std::vector<std::uint8_t> key_;
    std::vector<std::uint8_t> iv_;
    CBCBlockMode blockMode_;
    int rounds_;
    // 4 x (rounds + 1) words, big-endian, as FIPS-197 5.2 lays them out.
    std::array<std::uint32_t, 60> expandedKey_{};
};

}  // namespace kiv
