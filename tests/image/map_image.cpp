// Maps kwdrv.sys at the address the test program was linked for (image_symbols.py), before any
// test runs, so that the driver routines the suites name are the image's own. KWDRV_IMAGE in the
// environment overrides the image built with the program.
#include "loader/loader.h"

#include <cstdio>
#include <cstdlib>

namespace {

[[maybe_unused]] const bool g_mapped = [] {
    const char* path = std::getenv("KWDRV_IMAGE");
    if (path == nullptr || *path == '\0') path = KWDRV_IMAGE_PATH;
    sim::loader::LoadFailure failure;
    std::unique_ptr<sim::loader::Image> image = sim::loader::Image::Load(path, &failure, KWDRV_IMAGE_BASE);
    if (image == nullptr) {
        std::fprintf(stderr, "driver_image_tests: %s (status 0x%08X)\n", failure.message.c_str(),
                     static_cast<unsigned>(failure.status));
        std::exit(2);
    }
    image.release();  // the suites run on it until the program ends
    return true;
}();

}  // namespace

// What image_symbols.py binds a routine to that the image does not contain.
extern "C" [[noreturn]] void kwimage_missing_routine() {
    std::fprintf(stderr, "driver_image_tests: a test called a driver routine that kwdrv.sys does not contain "
                         "(inlined or removed by the optimiser); mark the test host-only\n");
    std::abort();
}
