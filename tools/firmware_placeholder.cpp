// firmware_placeholder <output>: a 4096-byte EZ-USB image that only has the image's outer
// form (a long jump at address 0, 0xAA fill). It runs no firmware.

#include <array>
#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: firmware_placeholder <output>\n");
        return 2;
    }
    std::array<unsigned char, 4096> image;
    image.fill(0xAA);
    image[0] = 0x02;  // LJMP 0x0BDE
    image[1] = 0x0B;
    image[2] = 0xDE;
    std::FILE* out = std::fopen(argv[1], "wb");
    if (out == nullptr || std::fwrite(image.data(), 1, image.size(), out) != image.size()) {
        std::fprintf(stderr, "firmware_placeholder: cannot write %s\n", argv[1]);
        return 1;
    }
    return std::fclose(out) == 0 ? 0 : 1;
}
