#include "media/EncoderMemory.h"

#include <sys/prctl.h>

namespace lento {

bool keepEncoderMemoryInSmallPages() {
    return prctl(PR_SET_THP_DISABLE, 1, 0, 0, 0) == 0;
}

} // namespace lento
