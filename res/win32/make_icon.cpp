// Writes the program's icon (a keyboard under an upward arrow) as a .ico
// file with 13 images: 48, 32, 24 and 16 pixels with 16 colours, the same
// sizes with 256 colours, and 256, 48, 32, 24 and 16 pixels with 32-bit
// colour and alpha. Built and run on the build machine; the picture is drawn
// from shapes, so no artwork file is needed.
//   make_icon out.ico
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

struct Rgba {
  double r = 0, g = 0, b = 0, a = 0;
};

struct Rgb {
  std::uint8_t r, g, b;
};

// Distance from (x, y) to a rounded rectangle; negative inside.
double RoundRectDistance(double x, double y, double x0, double y0, double x1, double y1,
                         double radius) {
  const double cx = (x0 + x1) / 2, cy = (y0 + y1) / 2;
  const double hx = (x1 - x0) / 2 - radius, hy = (y1 - y0) / 2 - radius;
  const double dx = std::max(std::abs(x - cx) - hx, 0.0);
  const double dy = std::max(std::abs(y - cy) - hy, 0.0);
  const double outside = std::sqrt(dx * dx + dy * dy);
  const double inside = std::min(std::max(std::abs(x - cx) - hx, std::abs(y - cy) - hy), 0.0);
  return outside + inside - radius;
}

bool InArrow(double x, double y) {
  // Head: triangle with its tip at the top; shaft below it.
  if (y >= 0.04 && y <= 0.26) {
    const double half = (y - 0.04) / 0.22 * 0.22;
    return std::abs(x - 0.5) <= half;
  }
  return y > 0.26 && y <= 0.44 && std::abs(x - 0.5) <= 0.085;
}

// The picture at one point of the unit square (y downwards).
Rgba Sample(double x, double y) {
  if (InArrow(x, y)) return {0.13, 0.67, 0.27, 1};
  const double body = RoundRectDistance(x, y, 0.04, 0.48, 0.96, 0.94, 0.08);
  if (body > 0) return {};
  if (body > -0.035) return {0.10, 0.14, 0.20, 1};  // rim
  // Three rows of keys, the bottom row with a space bar.
  const double rowTop[3] = {0.54, 0.67, 0.80};
  for (int row = 0; row < 3; ++row) {
    if (y < rowTop[row] || y > rowTop[row] + 0.09) continue;
    if (row == 2) {
      const bool key = (x > 0.10 && x < 0.24) || (x > 0.30 && x < 0.70) || (x > 0.76 && x < 0.90);
      if (key) return {0.88, 0.90, 0.93, 1};
      break;
    }
    const double pitch = 0.8 / 6;
    const double offset = row == 0 ? 0.10 : 0.10 + pitch / 2 - 0.03;
    const double k = (x - offset) / pitch;
    if (k >= 0 && k < (row == 0 ? 6 : 5.6) && (k - std::floor(k)) < 0.78)
      return {0.88, 0.90, 0.93, 1};
  }
  return {0.22, 0.29, 0.38, 1};  // body
}

// One image in 32-bit colour with alpha, rows top-down, 4x4 supersampled.
std::vector<Rgba> Render(int size) {
  std::vector<Rgba> pixels(static_cast<std::size_t>(size) * size);
  constexpr int kSub = 4;
  for (int py = 0; py < size; ++py) {
    for (int px = 0; px < size; ++px) {
      Rgba sum;
      for (int sy = 0; sy < kSub; ++sy) {
        for (int sx = 0; sx < kSub; ++sx) {
          const Rgba s = Sample((px + (sx + 0.5) / kSub) / size, (py + (sy + 0.5) / kSub) / size);
          sum.r += s.r * s.a;
          sum.g += s.g * s.a;
          sum.b += s.b * s.a;
          sum.a += s.a;
        }
      }
      Rgba& p = pixels[static_cast<std::size_t>(py) * size + px];
      p.a = sum.a / (kSub * kSub);
      if (sum.a > 0) p = {sum.r / sum.a, sum.g / sum.a, sum.b / sum.a, p.a};
    }
  }
  return pixels;
}

std::vector<Rgb> Palette(int bits) {
  std::vector<Rgb> palette;
  if (bits == 4) {
    // The 16 colours every display of that depth has.
    palette = {{0, 0, 0},       {128, 0, 0},   {0, 128, 0},   {128, 128, 0},
               {0, 0, 128},     {128, 0, 128}, {0, 128, 128}, {192, 192, 192},
               {128, 128, 128}, {255, 0, 0},   {0, 255, 0},   {255, 255, 0},
               {0, 0, 255},     {255, 0, 255}, {0, 255, 255}, {255, 255, 255}};
  } else {
    // A 6x6x6 colour cube and 40 greys.
    for (int r = 0; r < 6; ++r)
      for (int g = 0; g < 6; ++g)
        for (int b = 0; b < 6; ++b)
          palette.push_back({static_cast<std::uint8_t>(r * 51), static_cast<std::uint8_t>(g * 51),
                             static_cast<std::uint8_t>(b * 51)});
    for (int i = 0; i < 40; ++i) {
      const auto v = static_cast<std::uint8_t>(i * 255 / 39);
      palette.push_back({v, v, v});
    }
  }
  return palette;
}

std::uint8_t Channel(double v) {
  return static_cast<std::uint8_t>(std::lround(std::clamp(v, 0.0, 1.0) * 255));
}

int Nearest(const std::vector<Rgb>& palette, const Rgba& p) {
  int best = 0;
  long bestDistance = -1;
  for (std::size_t i = 0; i < palette.size(); ++i) {
    const long dr = palette[i].r - Channel(p.r), dg = palette[i].g - Channel(p.g),
               db = palette[i].b - Channel(p.b);
    const long d = 3 * dr * dr + 4 * dg * dg + 2 * db * db;
    if (bestDistance < 0 || d < bestDistance) bestDistance = d, best = static_cast<int>(i);
  }
  return best;
}

void Put16(std::vector<std::uint8_t>& out, unsigned v) {
  out.push_back(v & 0xFF);
  out.push_back((v >> 8) & 0xFF);
}
void Put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  Put16(out, v & 0xFFFF);
  Put16(out, v >> 16);
}

// One icon image: BITMAPINFOHEADER, palette, colour rows and AND mask, both
// bottom-up with rows padded to 4 bytes.
std::vector<std::uint8_t> EncodeImage(int size, int bits) {
  const std::vector<Rgba> pixels = Render(size);
  const std::vector<Rgb> palette = bits <= 8 ? Palette(bits) : std::vector<Rgb>{};
  const int colourStride = ((size * bits + 31) / 32) * 4;
  const int maskStride = ((size + 31) / 32) * 4;

  std::vector<std::uint8_t> out;
  Put32(out, 40);
  Put32(out, static_cast<std::uint32_t>(size));
  Put32(out, static_cast<std::uint32_t>(size * 2));  // colour rows and mask rows
  Put16(out, 1);
  Put16(out, static_cast<unsigned>(bits));
  Put32(out, 0);  // BI_RGB
  Put32(out, static_cast<std::uint32_t>((colourStride + maskStride) * size));
  Put32(out, 0);
  Put32(out, 0);
  Put32(out, bits <= 8 ? static_cast<std::uint32_t>(1u << bits) : 0);
  Put32(out, 0);
  for (std::size_t i = 0; i < (bits <= 8 ? (1u << bits) : 0u); ++i) {
    const Rgb c = i < palette.size() ? palette[i] : Rgb{0, 0, 0};
    out.insert(out.end(), {c.b, c.g, c.r, 0});
  }

  for (int row = size - 1; row >= 0; --row) {
    std::vector<std::uint8_t> line(static_cast<std::size_t>(colourStride), 0);
    for (int x = 0; x < size; ++x) {
      const Rgba& p = pixels[static_cast<std::size_t>(row) * size + x];
      if (bits == 32) {
        line[x * 4 + 0] = Channel(p.b);
        line[x * 4 + 1] = Channel(p.g);
        line[x * 4 + 2] = Channel(p.r);
        line[x * 4 + 3] = Channel(p.a);
      } else {
        const int index = p.a >= 0.5 ? Nearest(palette, p) : 0;
        if (bits == 8) {
          line[x] = static_cast<std::uint8_t>(index);
        } else {
          line[x / 2] |= static_cast<std::uint8_t>(x % 2 == 0 ? index << 4 : index);
        }
      }
    }
    out.insert(out.end(), line.begin(), line.end());
  }
  for (int row = size - 1; row >= 0; --row) {
    std::vector<std::uint8_t> line(static_cast<std::size_t>(maskStride), 0);
    for (int x = 0; x < size; ++x) {
      // A set bit leaves the screen as it is: the transparent parts.
      if (pixels[static_cast<std::size_t>(row) * size + x].a < 0.5)
        line[x / 8] |= static_cast<std::uint8_t>(0x80 >> (x % 8));
    }
    out.insert(out.end(), line.begin(), line.end());
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_icon out.ico\n");
    return 2;
  }
  struct Entry {
    int size, bits;
  };
  const std::array<Entry, 13> entries{{{48, 4},
                                       {32, 4},
                                       {24, 4},
                                       {16, 4},
                                       {48, 8},
                                       {32, 8},
                                       {24, 8},
                                       {16, 8},
                                       {256, 32},
                                       {48, 32},
                                       {32, 32},
                                       {24, 32},
                                       {16, 32}}};
  std::vector<std::vector<std::uint8_t>> images;
  for (const Entry& e : entries) images.push_back(EncodeImage(e.size, e.bits));

  std::vector<std::uint8_t> file;
  Put16(file, 0);
  Put16(file, 1);  // icon
  Put16(file, static_cast<unsigned>(entries.size()));
  std::uint32_t offset = static_cast<std::uint32_t>(6 + 16 * entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const Entry& e = entries[i];
    file.push_back(static_cast<std::uint8_t>(e.size == 256 ? 0 : e.size));
    file.push_back(static_cast<std::uint8_t>(e.size == 256 ? 0 : e.size));
    file.push_back(static_cast<std::uint8_t>(e.bits == 4 ? 16 : 0));
    file.push_back(0);
    Put16(file, 1);
    Put16(file, static_cast<unsigned>(e.bits));
    Put32(file, static_cast<std::uint32_t>(images[i].size()));
    Put32(file, offset);
    offset += static_cast<std::uint32_t>(images[i].size());
  }
  for (const auto& image : images) file.insert(file.end(), image.begin(), image.end());

  std::FILE* f = std::fopen(argv[1], "wb");
  if (f == nullptr || std::fwrite(file.data(), 1, file.size(), f) != file.size() ||
      std::fclose(f) != 0) {
    std::perror(argv[1]);
    return 1;
  }
  return 0;
}
