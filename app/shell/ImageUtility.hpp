#pragma once
// Two image operations for the status item's icons: a dimmed copy, and a copy with a badge
// composited onto it. Images are pixmaps as a status-area host takes them (StatusNotifierItem's
// "a(iiay)"): width, height, and ARGB32 pixels row by row, each in network byte order, alpha not
// premultiplied.
//
// Values; no state; any thread. An image whose bytes do not match its size is no image: the
// operations give an empty pixmap for it (a badge that is no image draws nothing).
#include <cstdint>
#include <vector>

namespace kiv {

struct Pixmap {
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::vector<std::uint8_t> argb;  // width * height * 4 bytes

    // Both sides positive and exactly width * height * 4 bytes.
    bool isValid() const;
    bool operator==(const Pixmap&) const = default;
};

class ImageUtility {
public:
    // A new image of the same size with `image` drawn whole over transparency at `alpha`
    // (0 transparent .. 1 unchanged; outside that range, the nearest end).
    static Pixmap dimmedImage(const Pixmap& image, double alpha);
    // A copy of `image` with `badge`, scaled to the image's size, drawn at the origin plus-darker:
    // the two premultiplied colours added less the part in which their alphas overlap (so where
    // both are opaque, max(0, image + badge - 1) per colour), fully opaque where either is.
    static Pixmap badgeWithImage(const Pixmap& image, const Pixmap& badge);
};

}  // namespace kiv
