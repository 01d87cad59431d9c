#include "model.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <sstream>

namespace e2e {
namespace {

constexpr int kTolerance = 24;  // per channel, of 255

bool near(const Rgb& a, const Rgb& b)
{
    return std::abs(a.r - b.r) <= kTolerance && std::abs(a.g - b.g) <= kTolerance && std::abs(a.b - b.b) <= kTolerance;
}

std::string rgb(const Rgb& p)
{
    std::ostringstream out;
    out << "rgb(" << int(p.r) << ", " << int(p.g) << ", " << int(p.b) << ")";
    return out.str();
}

std::uint8_t channel(double v) { return static_cast<std::uint8_t>(std::lround(std::clamp(v, 0.0, 1.0) * 255.0)); }

// Looks for a pixel of image within one pixel of (x, y) that is near want.
bool nearby(const Image& image, int x, int y, const Rgb& want, bool (*usable)(const Rgb&))
{
    for (int dy = -1; dy <= 1; ++dy) {
        for (int dx = -1; dx <= 1; ++dx) {
            const int px = x + dx;
            const int py = y + dy;
            if (px < 0 || py < 0 || px >= image.width || py >= image.height) {
                continue;
            }
            const Rgb& p = image.at(px, py);
            if (usable(p) && near(p, want)) {
                return true;
            }
        }
    }
    return false;
}

bool drawn(const Rgb& p) { return !isWhite(p); }

}  // namespace

bool isWhite(const Rgb& p) { return p.r >= 250 && p.g >= 250 && p.b >= 250; }

std::vector<Point> referenceCloud(std::uint32_t seed)
{
    std::uint32_t state = seed;
    const auto unit = [&state] {
        state = state * 214013U + 2531011U;
        const auto value = static_cast<int>((state >> 16U) & 0x7FFFU);
        return static_cast<double>(static_cast<float>(value * static_cast<double>(1.0F / 32767.0F)));
    };
    std::vector<Point> cloud(500);
    for (Point& p : cloud) {
        const double x = unit();
        const double y = unit();
        const double z = unit();
        p.r = unit();
        p.g = unit();
        p.b = unit();
        p.x = static_cast<float>(x + x - 1.0);
        p.y = static_cast<float>(y + y - 1.0);
        p.z = static_cast<float>(z + z - 1.0);
    }
    return cloud;
}

Image renderModel(const std::vector<Point>& cloud, double degrees, int width, int height)
{
    // Rotation about the unit diagonal, right-handed (Rodrigues).
    const double a = degrees * M_PI / 180.0;
    const double c = std::cos(a);
    const double s = std::sin(a);
    const double u = 1.0 / std::sqrt(3.0);
    const double k = (1.0 - c) * u * u;
    const double m[3][3] = {
        {c + k, k - s * u, k + s * u}, {k + s * u, c + k, k - s * u}, {k - s * u, k + s * u, c + k}};

    // The visible range: [-1, 1] on the short side, widened on the long one.
    double xRange = 1.0;
    double yRange = 1.0;
    if (width < height) {
        yRange = static_cast<double>(height) / width;
    } else {
        xRange = static_cast<double>(width) / height;
    }

    struct Screen {
        double x, y;  // window coordinates, origin at the bottom left
        Rgb colour;
    };
    std::vector<Screen> points;
    for (const Point& p : cloud) {
        const double rx = m[0][0] * p.x + m[0][1] * p.y + m[0][2] * p.z;
        const double ry = m[1][0] * p.x + m[1][1] * p.y + m[1][2] * p.z;
        points.push_back({(rx / xRange + 1.0) * width / 2.0, (ry / yRange + 1.0) * height / 2.0,
                          Rgb{channel(p.r), channel(p.g), channel(p.b)}});
    }

    Image image;
    image.width = width;
    image.height = height;
    image.pixels.assign(static_cast<std::size_t>(width) * height, Rgb{255, 255, 255});
    const auto plot = [&](int col, int row, const Screen& from, const Screen& to, double t) {
        const int top = height - 1 - row;
        if (col < 0 || col >= width || top < 0 || top >= height) {
            return;
        }
        const auto mix = [t](std::uint8_t p, std::uint8_t q) {
            return static_cast<std::uint8_t>(std::lround(p + (q - p) * t));
        };
        image.at(col, top) =
            Rgb{mix(from.colour.r, to.colour.r), mix(from.colour.g, to.colour.g), mix(from.colour.b, to.colour.b)};
    };
    // One pixel per column (or row, for steep segments) at the line's centre.
    for (std::size_t i = 0; i + 1 < points.size(); ++i) {
        const Screen& p = points[i];
        const Screen& q = points[i + 1];
        const double dx = q.x - p.x;
        const double dy = q.y - p.y;
        if (std::abs(dx) >= std::abs(dy)) {
            const double lo = std::min(p.x, q.x);
            const double hi = std::max(p.x, q.x);
            for (int col = static_cast<int>(std::floor(lo - 0.5)) + 1; col + 0.5 < hi; ++col) {
                const double t = (col + 0.5 - p.x) / dx;
                plot(col, static_cast<int>(std::floor(p.y + t * dy)), p, q, t);
            }
        } else {
            const double lo = std::min(p.y, q.y);
            const double hi = std::max(p.y, q.y);
            for (int row = static_cast<int>(std::floor(lo - 0.5)) + 1; row + 0.5 < hi; ++row) {
                const double t = (row + 0.5 - p.y) / dy;
                plot(static_cast<int>(std::floor(p.x + t * dx)), row, p, q, t);
            }
        }
    }
    return image;
}

Match compare(const Image& observed, const Image& model)
{
    Match match;
    if (observed.width != model.width || observed.height != model.height) {
        match.firstMiss = "picture is " + std::to_string(observed.width) + "x" + std::to_string(observed.height) +
                          ", model " + std::to_string(model.width) + "x" + std::to_string(model.height);
        return match;
    }
    long covered = 0;
    long found = 0;
    long painted = 0;
    long explained = 0;
    for (int y = 0; y < model.height; ++y) {
        for (int x = 0; x < model.width; ++x) {
            const Rgb& want = model.at(x, y);
            if (drawn(want)) {
                ++covered;
                if (nearby(observed, x, y, want, drawn)) {
                    ++found;
                } else if (match.firstMiss.empty()) {
                    match.firstMiss = "first model pixel not seen: (" + std::to_string(x) + ", " + std::to_string(y) +
                                      ") expected " + rgb(want) + ", observed " + rgb(observed.at(x, y));
                }
            }
            const Rgb& seen = observed.at(x, y);
            if (drawn(seen)) {
                ++painted;
                explained += nearby(model, x, y, seen, drawn) ? 1 : 0;
            }
        }
    }
    match.found = covered == 0 ? 0.0 : static_cast<double>(found) / covered;
    match.explained = painted == 0 ? 0.0 : static_cast<double>(explained) / painted;
    return match;
}

std::string Match::str() const
{
    std::ostringstream out;
    out.precision(3);
    out << 100 * found << "% of the model's line pixels seen, " << 100 * explained
        << "% of the picture's drawn pixels explained by the model";
    if (!firstMiss.empty()) {
        out << "; " << firstMiss;
    }
    return out.str();
}

}  // namespace e2e
