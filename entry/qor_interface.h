/*
 * Host records of the DOVED driver (DUPLINE fieldbus over an OPTOLINK
 * serial interface) and its single entry point, QorMain.
 *
 * Plain C: a C host includes this file as it is. Every record crosses the
 * host boundary by pointer. On a 32-bit target (the hosts in the field) the
 * layouts are the driver's binary interface byte for byte; on a 64-bit
 * target pointers are native and the layouts follow natural alignment.
 *
 * Calling convention: QorMain uses the C calling convention (cdecl on
 * 32-bit Windows). A host built with another default must declare it so.
 */
#ifndef DOVED_QOR_INTERFACE_H
#define DOVED_QOR_INTERFACE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#define QOR_CALL __cdecl
#else
#define QOR_CALL
#endif

/* Results of QorMain and of every operation. */
enum {
    QOR_DONE = 0,     /* carried out (also every answer after EndQor) */
    QOR_REFUSED = 1,  /* refused or rejected */
    QOR_FAILED = 2    /* failed: port, silent station, no such operation */
};

/* Operation codes; the codes not listed (0, 8, 9, 16, above 16) answer 2. */
enum {
    QOR_OP_COLD_START = 1,
    QOR_OP_WARM_START = 2,
    QOR_OP_SINGLE_ADDRESS_PARSER = 3,
    QOR_OP_BLOCK_ADDRESS_PARSER = 4,
    QOR_OP_SINGLE_READ = 5,
    QOR_OP_BLOCK_READ = 6,
    QOR_OP_SINGLE_WRITE = 7,
    QOR_OP_BLOCK_WRITE = 10,
    QOR_OP_END_QOR = 11,
    QOR_OP_CLOSE_COM = 12,
    QOR_OP_REOPEN_COM = 13,
    QOR_OP_GET_QOR_INFO = 14,
    QOR_OP_CHANGE_QOR_PARAMS = 15
};

/* One request: which port (context), which operation, and its record. */
typedef struct QorRequest {
    void *context;      /* DriverContext of the port, or NULL where unused */
    uint32_t operation; /* operation code, unsigned */
    uint32_t reserved1; /* not read */
    uint32_t reserved2; /* not read */
    void *data;         /* the operation's record */
} QorRequest;

/* Line settings; the codes are the platform's port-configuration codes. */
typedef struct LineSettings {
    uint16_t baud;     /* bits per second, unsigned */
    uint16_t dataBits; /* data bits per character (5 to 8) */
    uint16_t stopBits; /* 0 one, 1 one and a half, 2 two stop bits */
    uint16_t parity;   /* 0 none, 1 odd, 2 even, 3 mark, 4 space */
} LineSettings;

#define QOR_PORT_NAME_SIZE 12

typedef struct PortSettings {
    char name[QOR_PORT_NAME_SIZE]; /* zero-terminated, at most 11 characters */
    LineSettings line;
    uint16_t controlFlags; /* how DTR and RTS are driven */
} PortSettings;

/* Control flags: DTR and RTS each take the first row of their group whose
 * bits meet the flags. */
#define QOR_DTR_ENABLE 0x0101u
#define QOR_DTR_HANDSHAKE 0x8000u
#define QOR_RTS_ENABLE 0x0202u
#define QOR_RTS_HANDSHAKE 0x1000u
#define QOR_RTS_TOGGLE 0x2000u
/* DTR on and RTS on: what every context stores. */
#define QOR_CONTROL_FLAGS_DEFAULT 0x0303u

/* Record of GetQorInfo (operation 14), filled by the driver. */
typedef struct QorInfo {
    int32_t hostNumber1;     /* host-defined: 70 */
    const char *shortName;   /* bus name */
    const char *banner;      /* code page 437 banner */
    int32_t contextSize;     /* bytes to allocate for each DriverContext */
    int32_t hostNumber2;     /* host-defined: 4 */
    LineSettings defaultLine;
    int32_t hostNumber3;     /* host-defined: 3 */
} QorInfo;

/* Bytes the host allocates for each context. */
#define QOR_CONTEXT_SIZE 708

/* The driver's per-port state, at the start of the host's context block. */
typedef struct DriverContext {
    int32_t replyTimeout; /* reply time-out in 10 ms units */
    int32_t active;       /* non-zero lets reads and writes run */
    uint32_t reserved;    /* not used */
    uint32_t portHandle;  /* open port, 0 for none */
    PortSettings portSettings;
} DriverContext;

/* Record of ColdStart (operation 1). */
typedef struct StartParams {
    char portName[QOR_PORT_NAME_SIZE];
    int32_t enabled;      /* 0: start without a port */
    int32_t replyTimeout; /* 10 ms units */
    LineSettings line;
} StartParams;

/* Record of ChangeQorParams (operation 15). */
typedef struct ChangeParams {
    char portName[QOR_PORT_NAME_SIZE]; /* always taken over */
    int32_t replyTimeout;              /* 0 keeps the context's value */
    LineSettings line;                 /* baud 0 keeps all four words */
} ChangeParams;

/* The five address words a parser writes and the host hands back. */
enum {
    QOR_WORD_STATION = 0,  /* 1 to 63 */
    QOR_WORD_COMPOUND = 1, /* 67 ('C') for a compound gate, else 0 */
    QOR_WORD_GROUP = 2,    /* 0 (A) to 15 (P) */
    QOR_WORD_BIT = 3,      /* 0 to 7 for a bit gate, else 255 */
    QOR_WORD_FIFTH = 4,    /* always 16 */
    QOR_ADDRESS_WORDS = 5
};
#define QOR_COMPOUND_FLAG 67u
#define QOR_NO_BIT 255u

/* Host data-type codes that SingleAddressParser requires. */
enum {
    QOR_TYPE_BYTE = 0,
    QOR_TYPE_COMPOUND = 1,
    QOR_TYPE_BIT = 6
};

/* Record of SingleAddressParser (3) and BlockAddressParser (4). */
typedef struct AddressParseRecord {
    const char *text;    /* the gate's address text, read only */
    uint32_t reserved;   /* not read */
    int32_t dataType;    /* host data-type code */
    int32_t elementCount;/* groups of a block */
    uint32_t words[QOR_ADDRESS_WORDS];
} AddressParseRecord;

/* Record of SingleRead (5), BlockRead (6), SingleWrite (7), BlockWrite (10).
 * values: a single gate's value is element 1 (element 0 is not touched);
 * a block's values are elements 0 to elementCount - 1. */
typedef struct GateRecord {
    const char *text;
    uint32_t reserved1; /* not read */
    uint32_t words[QOR_ADDRESS_WORDS];
    uint32_t reserved2; /* not read */
    int32_t elementCount;
    uint32_t reserved3; /* not read */
    int16_t *values;
} GateRecord;

/* The driver's one exported function. */
#if defined(_WIN32)
#if defined(DOVED_BUILDING)
#define QOR_EXPORT __declspec(dllexport)
#else
#define QOR_EXPORT __declspec(dllimport)
#endif
#else
#define QOR_EXPORT __attribute__((visibility("default")))
#endif

QOR_EXPORT int32_t QOR_CALL QorMain(const QorRequest *request);

typedef int32_t (QOR_CALL *QorMainFunction)(const QorRequest *request);

#if UINTPTR_MAX == 0xFFFFFFFFu && defined(__cplusplus)
#include <stddef.h>
/* The binary interface of a 32-bit host process. */
static_assert(sizeof(QorRequest) == 20, "QorRequest");
static_assert(offsetof(QorRequest, context) == 0, "QorRequest.context");
static_assert(offsetof(QorRequest, operation) == 4, "QorRequest.operation");
static_assert(offsetof(QorRequest, reserved1) == 8, "QorRequest.reserved1");
static_assert(offsetof(QorRequest, reserved2) == 12, "QorRequest.reserved2");
static_assert(offsetof(QorRequest, data) == 16, "QorRequest.data");
static_assert(sizeof(LineSettings) == 8, "LineSettings");
static_assert(offsetof(LineSettings, dataBits) == 2, "LineSettings.dataBits");
static_assert(offsetof(LineSettings, stopBits) == 4, "LineSettings.stopBits");
static_assert(offsetof(LineSettings, parity) == 6, "LineSettings.parity");
static_assert(sizeof(PortSettings) == 22, "PortSettings");
static_assert(offsetof(PortSettings, line) == 12, "PortSettings.line");
static_assert(offsetof(PortSettings, controlFlags) == 20, "PortSettings.controlFlags");
static_assert(sizeof(QorInfo) == 32, "QorInfo");
static_assert(offsetof(QorInfo, shortName) == 4, "QorInfo.shortName");
static_assert(offsetof(QorInfo, banner) == 8, "QorInfo.banner");
static_assert(offsetof(QorInfo, contextSize) == 12, "QorInfo.contextSize");
static_assert(offsetof(QorInfo, hostNumber2) == 16, "QorInfo.hostNumber2");
static_assert(offsetof(QorInfo, defaultLine) == 20, "QorInfo.defaultLine");
static_assert(offsetof(QorInfo, hostNumber3) == 28, "QorInfo.hostNumber3");
static_assert(offsetof(DriverContext, replyTimeout) == 0, "DriverContext.replyTimeout");
static_assert(offsetof(DriverContext, active) == 4, "DriverContext.active");
static_assert(offsetof(DriverContext, reserved) == 8, "DriverContext.reserved");
static_assert(offsetof(DriverContext, portHandle) == 12, "DriverContext.portHandle");
static_assert(offsetof(DriverContext, portSettings) == 16, "DriverContext.portSettings");
static_assert(sizeof(DriverContext) <= QOR_CONTEXT_SIZE, "DriverContext");
static_assert(sizeof(StartParams) == 28, "StartParams");
static_assert(offsetof(StartParams, enabled) == 12, "StartParams.enabled");
static_assert(offsetof(StartParams, replyTimeout) == 16, "StartParams.replyTimeout");
static_assert(offsetof(StartParams, line) == 20, "StartParams.line");
static_assert(sizeof(ChangeParams) == 24, "ChangeParams");
static_assert(offsetof(ChangeParams, replyTimeout) == 12, "ChangeParams.replyTimeout");
static_assert(offsetof(ChangeParams, line) == 16, "ChangeParams.line");
static_assert(sizeof(AddressParseRecord) == 36, "AddressParseRecord");
static_assert(offsetof(AddressParseRecord, reserved) == 4, "AddressParseRecord.reserved");
static_assert(offsetof(AddressParseRecord, dataType) == 8, "AddressParseRecord.dataType");
static_assert(offsetof(AddressParseRecord, elementCount) == 12, "AddressParseRecord.elementCount");
static_assert(offsetof(AddressParseRecord, words) == 16, "AddressParseRecord.words");
static_assert(sizeof(GateRecord) == 44, "GateRecord");
static_assert(offsetof(GateRecord, reserved1) == 4, "GateRecord.reserved1");
static_assert(offsetof(GateRecord, words) == 8, "GateRecord.words");
static_assert(offsetof(GateRecord, reserved2) == 28, "GateRecord.reserved2");
static_assert(offsetof(GateRecord, elementCount) == 32, "GateRecord.elementCount");
static_assert(offsetof(GateRecord, reserved3) == 36, "GateRecord.reserved3");
static_assert(offsetof(GateRecord, values) == 40, "GateRecord.values");
#endif

#ifdef __cplusplus
}
#endif

#endif
