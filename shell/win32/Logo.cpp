#include "shell/win32/Logo.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "res/resource.h"

namespace irisdesk {
namespace {

// Premultiplied blue, green, red and alpha, as the resource stores them.
struct Pixel {
  float c[4];
};

struct Image {
  int width = 0, height = 0;
  std::vector<Pixel> pixels;  // rows top-down
};

// The 32-bit bottom-up bitmap resource, read as it lies in the program.
Image LoadSource(HINSTANCE instance) {
  Image image;
  const HRSRC found = FindResourceW(instance, MAKEINTRESOURCEW(IDB_LOGO), MAKEINTRESOURCEW(2));  // RT_BITMAP
  const HGLOBAL loaded = found ? LoadResource(instance, found) : nullptr;
  const auto* bytes = loaded ? static_cast<const uint8_t*>(LockResource(loaded)) : nullptr;
  const DWORD size = found ? SizeofResource(instance, found) : 0;
  BITMAPINFOHEADER info{};
  if (!bytes || size < sizeof info) return image;
  std::memcpy(&info, bytes, sizeof info);
  const auto width = static_cast<size_t>(info.biWidth), height = static_cast<size_t>(info.biHeight);
  if (info.biSize < sizeof info || info.biBitCount != 32 || info.biCompression != BI_RGB ||
      info.biWidth <= 0 || info.biHeight <= 0 || info.biSize + width * height * 4 > size)
    return image;
  image.width = info.biWidth;
  image.height = info.biHeight;
  image.pixels.resize(width * height);
  for (size_t y = 0; y < height; ++y) {
    const uint8_t* row = bytes + info.biSize + (height - 1 - y) * width * 4;
    for (size_t x = 0; x < width; ++x)
      for (int k = 0; k < 4; ++k) image.pixels[y * width + x].c[k] = row[x * 4 + k];
  }
  return image;
}

// Each of `to` cells along one axis takes the mean of the source cells it covers, in
// part at its ends: a shrink that neither skips nor doubles any source pixel.
struct Tap {
  int from;
  float weight;
};
std::vector<std::vector<Tap>> Taps(int from, int to) {
  std::vector<std::vector<Tap>> taps(static_cast<size_t>(to));
  const double step = static_cast<double>(from) / to;
  for (int i = 0; i < to; ++i) {
    const double begin = i * step, end = (i + 1) * step;
    for (int s = static_cast<int>(begin); s < from && s < end; ++s) {
      const double covered = std::min<double>(end, s + 1) - std::max<double>(begin, s);
      if (covered > 0) taps[static_cast<size_t>(i)].push_back({s, static_cast<float>(covered / step)});
    }
  }
  return taps;
}

Image Resample(const Image& source, int width, int height) {
  const auto across = Taps(source.width, width), down = Taps(source.height, height);
  std::vector<Pixel> rows(static_cast<size_t>(width) * static_cast<size_t>(source.height), Pixel{});
  for (int y = 0; y < source.height; ++y)
    for (int x = 0; x < width; ++x) {
      Pixel& out = rows[static_cast<size_t>(y) * width + x];
      for (const Tap& t : across[static_cast<size_t>(x)])
        for (int k = 0; k < 4; ++k)
          out.c[k] += t.weight * source.pixels[static_cast<size_t>(y) * source.width + t.from].c[k];
    }
  Image image{width, height, std::vector<Pixel>(static_cast<size_t>(width) * height, Pixel{})};
  for (int y = 0; y < height; ++y)
    for (const Tap& t : down[static_cast<size_t>(y)])
      for (int x = 0; x < width; ++x)
        for (int k = 0; k < 4; ++k)
          image.pixels[static_cast<size_t>(y) * width + x].c[k] +=
              t.weight * rows[static_cast<size_t>(t.from) * width + x].c[k];
  return image;
}

}  // namespace

HBITMAP MakeLogoBitmap(HINSTANCE instance, int width, int height, COLORREF background) {
  if (width <= 0 || height <= 0) return nullptr;
  const Image source = LoadSource(instance);
  if (source.pixels.empty()) return nullptr;
  // As large as fits, in its own proportions.
  const double scale =
      std::min(static_cast<double>(width) / source.width, static_cast<double>(height) / source.height);
  const int fitWidth = std::clamp(static_cast<int>(std::lround(source.width * scale)), 1, width);
  const int fitHeight = std::clamp(static_cast<int>(std::lround(source.height * scale)), 1, height);
  const Image fitted = Resample(source, fitWidth, fitHeight);

  BITMAPINFO info{};
  info.bmiHeader = {sizeof(BITMAPINFOHEADER), width, -height, 1, 32, BI_RGB, 0, 0, 0, 0, 0};  // top-down
  void* bits = nullptr;
  const HBITMAP bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  if (!bitmap || !bits) {
    if (bitmap) DeleteObject(bitmap);
    return nullptr;
  }
  const float under[3] = {static_cast<float>(GetBValue(background)),
                          static_cast<float>(GetGValue(background)),
                          static_cast<float>(GetRValue(background))};
  auto* out = static_cast<uint8_t*>(bits);
  const int left = (width - fitWidth) / 2, top = (height - fitHeight) / 2;
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      Pixel p{};
      if (x >= left && x < left + fitWidth && y >= top && y < top + fitHeight)
        p = fitted.pixels[static_cast<size_t>(y - top) * fitWidth + (x - left)];
      uint8_t* o = out + (static_cast<size_t>(y) * width + x) * 4;
      // Laid over the background; alpha left 0, so the bitmap is drawn as it stands.
      for (int k = 0; k < 3; ++k)
        o[k] =
            static_cast<uint8_t>(std::clamp(std::lround(p.c[k] + under[k] * (1 - p.c[3] / 255)), 0L, 255L));
      o[3] = 0;
    }
  GdiFlush();
  return bitmap;
}

}  // namespace irisdesk
