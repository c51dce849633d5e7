// pelu-make-demo OUT.mp3 [SECONDS]: writes the demo MP3 the run command plays.
#include "mp3_fixtures.h"

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: pelu-make-demo OUT.mp3 [SECONDS]\n");
        return 2;
    }
    pelu::test::Mp3Options options = pelu::test::cbr128_stereo_44k(argc > 2 ? std::atof(argv[2]) : 8.0);
    pelu::test::write_file(argv[1], pelu::test::encode_mp3(options));
    return 0;
}
