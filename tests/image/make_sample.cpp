// Writes the shipped sample picture "samp.png" (240 by 256, the pattern of picture.h) to the
// path given as the first argument.
#include "picture.h"

#include <cstdio>
#include <fstream>

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s <output.png>\n", argv[0]);
        return 2;
    }
    std::string bytes = encode_png(pattern_picture(240, 256));
    std::ofstream out(argv[1], std::ios::binary);
    out << bytes;
    out.close();
    if (bytes.empty() || !out) {
        fprintf(stderr, "%s: cannot write the picture\n", argv[1]);
        return 1;
    }
    return 0;
}
