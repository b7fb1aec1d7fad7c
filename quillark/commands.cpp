#include <cstring>

#include "quillark.h"

int Quillark::DeviceIoControl(int code, const void*, int, void* out, int out_len, int& out_size) {
    (void)code;
    if (out != nullptr && out_len >= 4) {
        const std::int32_t result = ctrl_result.load();
        std::memcpy(out, &result, sizeof result);
        out_size = 4;
    } else {
        out_size = 0;
    }
    return 0;
}
