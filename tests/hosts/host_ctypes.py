"""A Python host: the interpreter has the C library loaded before the
driver, so the driver's err finds only its version (QORHOST_1.0) to tell
the runtime's err from the C library's err(3), which would end this process.

host_ctypes.py LIBDOVED
"""
import ctypes
import sys

QOR_OP_SINGLE_ADDRESS_PARSER = 3
QOR_TYPE_COMPOUND = 1
QOR_REFUSED = 1
QOR_LOG_OPERATOR = 32
UNTOUCHED = 0xDEADBEEF


class QorRequest(ctypes.Structure):
    _fields_ = [("context", ctypes.c_void_p), ("operation", ctypes.c_uint32),
                ("reserved1", ctypes.c_uint32), ("reserved2", ctypes.c_uint32),
                ("data", ctypes.c_void_p)]


class AddressParseRecord(ctypes.Structure):
    _fields_ = [("text", ctypes.c_char_p), ("reserved", ctypes.c_uint32),
                ("dataType", ctypes.c_int32), ("elementCount", ctypes.c_int32),
                ("words", ctypes.c_uint32 * 5)]


LogHandler = ctypes.CFUNCTYPE(None, ctypes.c_int32, ctypes.c_char_p, ctypes.c_void_p)


def main():
    driver = ctypes.CDLL(sys.argv[1])
    driver.QorMain.restype = ctypes.c_int32
    driver.QorMain.argtypes = [ctypes.POINTER(QorRequest)]
    # The runtime came along as the driver's dependency; its handle is
    # reached through the driver's.
    set_handler = driver.qorhost_set_log_handler
    set_handler.restype = None
    set_handler.argtypes = [LogHandler, ctypes.c_void_p]

    lines = []
    handler = LogHandler(lambda level, line, user: lines.append((level, line.decode())))
    set_handler(handler, None)

    record = AddressParseRecord(text=b"01DC", dataType=QOR_TYPE_COMPOUND, elementCount=1)
    for i in range(5):
        record.words[i] = UNTOUCHED
    request = QorRequest(context=None, operation=QOR_OP_SINGLE_ADDRESS_PARSER,
                         data=ctypes.cast(ctypes.pointer(record), ctypes.c_void_p))
    result = driver.QorMain(ctypes.byref(request))
    set_handler(LogHandler(), None)

    failures = []
    if result != QOR_REFUSED:
        failures.append(f"result {result}, expected {QOR_REFUSED}")
    if list(record.words) != [0, 0, UNTOUCHED, 255, 16]:
        failures.append(f"words {list(record.words)}")
    if lines != [(QOR_LOG_OPERATOR, "DOVED: Illegal Group in Compound Gate 01DC")]:
        failures.append(f"lines {lines}")
    for failure in failures:
        print("host_ctypes:", failure, file=sys.stderr)
    if failures:
        return 1
    print("host_ctypes: line received through the host runtime, process alive")
    return 0


if __name__ == "__main__":
    sys.exit(main())
