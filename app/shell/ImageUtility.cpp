#include "app/shell/ImageUtility.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace kiv {
namespace {

constexpr std::size_t kBytesPerPixel = 4;  // A, R, G, B

std::uint8_t toByte(double unit) {
    return static_cast<std::uint8_t>(std::lround(std::clamp(unit, 0.0, 1.0) * 255.0));
}

double toUnit(std::uint8_t byte) { return byte / 255.0; }

// The badge's pixel that covers the image's pixel (x, y) once the badge is scaled to the image's
// size: the one under the pixel's centre.
std::size_t badgeOffset(const Pixmap& badge, const Pixmap& image, std::int64_t x, std::int64_t y) {
    const std::int64_t bx = (2 * x + 1) * badge.width / (2 * std::int64_t{image.width});
    const std::int64_t by = (2 * y + 1) * badge.height / (2 * std::int64_t{image.height});
    return static_cast<std::size_t>(by * badge.width + bx) * kBytesPerPixel;
}

// Plus-darker of one pixel, in premultiplied terms (straight alpha in and out).
void plusDarker(std::uint8_t* destination, const std::uint8_t* source) {
    const double as = toUnit(source[0]);
    const double ab = toUnit(destination[0]);
    const double overlap = as * ab;
    const double ao = as + ab - overlap;
    destination[0] = toByte(ao);
    for (std::size_t channel = 1; channel < kBytesPerPixel; ++channel) {
        const double co =
            std::max(0.0, toUnit(source[channel]) * as + toUnit(destination[channel]) * ab - overlap);
        destination[channel] = ao > 0 ? toByte(co / ao) : 0;
    }
}

}  // namespace

bool Pixmap::isValid() const {
    if (width <= 0 || height <= 0) return false;
    const auto w = static_cast<std::uint64_t>(width);
    const auto h = static_cast<std::uint64_t>(height);
    // Both below 2^31: the product of the three fits in 64 bits.
    return argb.size() == w * h * kBytesPerPixel;
}

Pixmap ImageUtility::dimmedImage(const Pixmap& image, double alpha) {
    if (!image.isValid()) return {};
    const double fraction = std::isnan(alpha) ? 0.0 : std::clamp(alpha, 0.0, 1.0);
    Pixmap dimmed = image;
    for (std::size_t at = 0; at < dimmed.argb.size(); at += kBytesPerPixel) {
        dimmed.argb[at] = toByte(toUnit(dimmed.argb[at]) * fraction);
        // Nothing drawn leaves the transparency as it was.
        if (dimmed.argb[at] == 0) std::fill_n(&dimmed.argb[at + 1], kBytesPerPixel - 1, 0);
    }
    return dimmed;
}

Pixmap ImageUtility::badgeWithImage(const Pixmap& image, const Pixmap& badge) {
    if (!image.isValid()) return {};
    Pixmap drawn = image;
    if (!badge.isValid()) return drawn;
    for (std::int64_t y = 0; y < image.height; ++y) {
        for (std::int64_t x = 0; x < image.width; ++x) {
            const auto at = static_cast<std::size_t>(y * image.width + x) * kBytesPerPixel;
            plusDarker(&drawn.argb[at], &badge.argb[badgeOffset(badge, image, x, y)]);
        }
    }
    return drawn;
}

}  // namespace kiv
