// A host that links neither the driver nor the host runtime: it loads the
// driver as a plug-in, reaches the runtime that came along with it, and
// expects the driver's log line through the runtime's err. Had the driver's
// err bound to the C library's err(3), the process would have ended inside
// QorMain with another exit code.
#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "entry/qor_interface.h"
#include "host/qorhost.h"

namespace {

struct Received {
    int32_t level;
    std::string text;
};

std::vector<Received> lines;

void Receive(int32_t level, const char *line, void *user) {
    if (user != &lines) return;
    lines.push_back(Received{level, line});
}

int Fail(const char *what) {
    std::fprintf(stderr, "host_dlopen: %s\n", what);
    return 1;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) return Fail("usage: host_dlopen LIBDOVED");
    void *driver = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (driver == nullptr) return Fail(dlerror());

    // The runtime is loaded as the driver's dependency, not by this host.
    void *runtime = dlopen("libqorhost.so", RTLD_NOW | RTLD_NOLOAD);
    if (runtime == nullptr) return Fail("libqorhost.so did not come along with the driver");
    using SetHandler = void (*)(QorLogHandler, void *);
    auto setHandler = reinterpret_cast<SetHandler>(dlsym(runtime, "qorhost_set_log_handler"));
    if (setHandler == nullptr) return Fail("qorhost_set_log_handler not found in the runtime");
    // The driver's own handle reaches the same function through its dependency.
    if (reinterpret_cast<SetHandler>(dlsym(driver, "qorhost_set_log_handler")) != setHandler)
        return Fail("the driver's dependency is another runtime");
    auto qorMain = reinterpret_cast<QorMainFunction>(dlsym(driver, "QorMain"));
    if (qorMain == nullptr) return Fail("QorMain not exported");

    setHandler(&Receive, &lines);

    AddressParseRecord record{};
    record.text = "01DC";
    record.dataType = QOR_TYPE_COMPOUND;
    record.elementCount = 1;
    QorRequest request{nullptr, QOR_OP_SINGLE_ADDRESS_PARSER, 0, 0, &record};
    int32_t result = qorMain(&request);
    setHandler(nullptr, nullptr);

    if (result != QOR_REFUSED) {
        std::fprintf(stderr, "host_dlopen: result %d, expected 1\n", static_cast<int>(result));
        return 1;
    }
    if (lines.size() != 1) {
        std::fprintf(stderr, "host_dlopen: %zu lines, expected 1\n", lines.size());
        return 1;
    }
    if (lines[0].level != QOR_LOG_OPERATOR || lines[0].text != "DOVED: Illegal Group in Compound Gate 01DC") {
        std::fprintf(stderr, "host_dlopen: got [%d] \"%s\"\n", static_cast<int>(lines[0].level),
                     lines[0].text.c_str());
        return 1;
    }
    if (dlclose(driver) != 0) return Fail(dlerror());
    dlclose(runtime);
    std::puts("host_dlopen: line received through the host runtime");
    return 0;
}
