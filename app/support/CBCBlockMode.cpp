#include "app/support/CBCBlockMode.hpp"

#include <algorithm>

namespace kiv {

CBCBlockMode::Error::Error(BlockError code)
    : std::runtime_error("MissingInitializationVector"), code_(code) {}

std::vector<std::uint8_t> CBCBlockMode::encrypt(std::span<const std::uint8_t> padded,
                                                std::span<const std::uint8_t> iv,
                                                const BlockFunction& encryptBlock) const {
    if (padded.size() % blockSize != 0) {
        throw std::invalid_argument("CBC input is not a whole number of blocks");
    }
    if (iv.empty()) throw Error(BlockError::MissingInitializationVector);
    if (iv.size() != blockSize) throw std::invalid_argument("CBC initialization vector is not one block");

    std::vector<std::uint8_t> out;
    out.reserve(padded.size());
    Block chain;
    std::copy(iv.begin(), iv.end(), chain.begin());
    for (std::size_t offset = 0; offset < padded.size(); offset += blockSize) {
        Block block;
        for (std::size_t i = 0; i < blockSize; ++i) block[i] = padded[offset + i] ^ chain[i];
        chain = encryptBlock(block);
        out.insert(out.end(), chain.begin(), chain.end());
    }
    return out;
}

}  // namespace kiv
