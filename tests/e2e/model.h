// An independent model of the picture: the cloud for a seed, rotated and
// projected, rasterised as 1-pixel lines with colours blended along each
// segment, later segments over earlier ones. Written from the rules of the
// picture, not from the program's code, so a fault in one is not in both.
#pragma once

#include "xharness.h"

#include <cstdint>
#include <string>
#include <vector>

namespace e2e {

struct Point {
    double x, y, z;  // position in [-1, 1]
    double r, g, b;  // colour in [0, 1]
};

std::vector<Point> referenceCloud(std::uint32_t seed);

// The picture for a drawing area of width x height, the cloud turned by
// degrees about (1, 1, 1).
Image renderModel(const std::vector<Point>& cloud, double degrees, int width, int height);

struct Match {
    double found = 0;      // share of the model's line pixels seen in the picture
    double explained = 0;  // share of the picture's drawn pixels the model explains
    std::string firstMiss;
    bool good() const { return found >= 0.97 && explained >= 0.97; }  // both ways, at least 97 %
    std::string str() const;
};

// Pixels count as matching when a pixel of the other image within one pixel
// has a colour within a small tolerance: rasterisers differ by a pixel at line
// ends and crossings.
Match compare(const Image& observed, const Image& model);

bool isWhite(const Rgb& p);

}  // namespace e2e
