// kwsim --image FILE: the DriverEntry of a kwdrv.sys image mapped into the model, for the
// 32-bit build with Windows' calling conventions; other builds say how to get one.
#include "session.h"

#if defined(KWSIM_WINDOWS_ABI)
#include "loader/loader.h"
#endif

#include <memory>

namespace kwsim {

PDRIVER_INITIALIZE LoadImageEntry(const std::string& path, std::string* error) {
#if defined(KWSIM_WINDOWS_ABI)
    sim::loader::LoadFailure failure;
    std::unique_ptr<sim::loader::Image> image = sim::loader::Image::Load(path, &failure);
    if (image == nullptr) {
        *error = failure.message + " (" + sim::StatusName(failure.status) + ")";
        return nullptr;
    }
    // Mapped until the process ends: DPCs of the driver may run until the model stops.
    return image.release()->Entry();
#else
    *error = path + ": this kwsim runs the host-built driver only; a 32-bit build configured with "
                    "-DKWDRV_M32=ON -DKWDRV_WINDOWS_ABI=ON loads images";
    return nullptr;
#endif
}

}  // namespace kwsim
