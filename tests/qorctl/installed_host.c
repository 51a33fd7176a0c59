/* A host program built against the installed driver with pkg-config: it
 * asks GetQorInfo through QorMain and prints the context size. */
#include <stdio.h>

#include "qor_interface.h"
#include "qorhost.h"

static void PrintLine(int32_t level, const char *line, void *user) {
    (void)user;
    printf("log %d %s\n", (int)level, line);
}

int main(void) {
    QorInfo info = {0};
    QorRequest request = {0};
    request.operation = QOR_OP_GET_QOR_INFO;
    request.data = &info;
    qorhost_set_log_handler(PrintLine, NULL);
    int32_t result = QorMain(&request);
    printf("GetQorInfo %d context size %d\n", (int)result, (int)info.contextSize);
    return result == QOR_DONE ? 0 : 1;
}
