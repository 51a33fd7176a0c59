// A host whose executable exports err itself: the driver's err must reach
// this definition, which comes first in the process's global scope, and
// the runtime loaded along with the driver must see nothing.
#include <dlfcn.h>

#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include "entry/qor_interface.h"
#include "host/qorhost.h"

namespace {

struct Received {
    int32_t level;
    std::string text;
};

std::vector<Received> ownLines;
std::vector<Received> runtimeLines;

void ReceiveInRuntime(int32_t level, const char *line, void *) { runtimeLines.push_back(Received{level, line}); }

int Fail(const char *what) {
    std::fprintf(stderr, "host_own_err: %s\n", what);
    return 1;
}

}  // namespace

extern "C" QORHOST_API void QORHOST_CALL err(int32_t level, const char *format, ...) {
    char line[512];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(line, sizeof line, format, arguments);
    va_end(arguments);
    ownLines.push_back(Received{level, line});
}

int main(int argc, char **argv) {
    if (argc != 2) return Fail("usage: host_own_err LIBDOVED");
    void *driver = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (driver == nullptr) return Fail(dlerror());
    auto qorMain = reinterpret_cast<QorMainFunction>(dlsym(driver, "QorMain"));
    if (qorMain == nullptr) return Fail("QorMain not exported");

    // Should the line go to the runtime after all, this handler shows it.
    using SetHandler = void (*)(QorLogHandler, void *);
    auto setHandler = reinterpret_cast<SetHandler>(dlsym(driver, "qorhost_set_log_handler"));
    if (setHandler == nullptr) return Fail("the runtime did not come along with the driver");
    setHandler(&ReceiveInRuntime, nullptr);

    AddressParseRecord record{};
    record.text = "01dc rem";
    record.dataType = QOR_TYPE_COMPOUND;
    record.elementCount = 1;
    QorRequest request{nullptr, QOR_OP_SINGLE_ADDRESS_PARSER, 0, 0, &record};
    int32_t result = qorMain(&request);
    setHandler(nullptr, nullptr);

    if (result != QOR_REFUSED) {
        std::fprintf(stderr, "host_own_err: result %d, expected 1\n", static_cast<int>(result));
        return 1;
    }
    if (!runtimeLines.empty()) return Fail("the line went to the runtime's err, not the host's");
    if (ownLines.size() != 1) {
        std::fprintf(stderr, "host_own_err: %zu lines in the host's err, expected 1\n", ownLines.size());
        return 1;
    }
    if (ownLines[0].level != QOR_LOG_OPERATOR || ownLines[0].text != "DOVED: Illegal Group in Compound Gate 01DC") {
        std::fprintf(stderr, "host_own_err: got [%d] \"%s\"\n", static_cast<int>(ownLines[0].level),
                     ownLines[0].text.c_str());
        return 1;
    }
    if (dlclose(driver) != 0) return Fail(dlerror());
    std::puts("host_own_err: line received through the host's own err");
    return 0;
}
