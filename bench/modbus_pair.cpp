#include "bench/modbus_pair.h"

#include <fcntl.h>
#include <modbus/modbus.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>

namespace bench {

namespace {

constexpr int kUnit = 1;
constexpr int kRegisters = 16;

}  // namespace

struct ModbusPair::State {
    int master = -1;
    modbus_t *client = nullptr;
    modbus_t *server = nullptr;
    modbus_mapping_t *mapping = nullptr;
    std::atomic<bool> stopping{false};
    std::thread thread;

    void Serve() {
        uint8_t request[MODBUS_RTU_MAX_ADU_LENGTH];
        while (!stopping) {
            const int length = modbus_receive(server, request);
            if (length > 0) {
                modbus_reply(server, request, length, mapping);
            } else if (length < 0 && errno != ETIMEDOUT && stopping) {
                return;
            }
        }
    }
};

ModbusPair::ModbusPair() : state_(std::make_unique<State>()) {}

ModbusPair::~ModbusPair() {
    State &s = *state_;
    s.stopping = true;
    if (s.client != nullptr) {
        modbus_close(s.client);  // the master then reads an error at once
        modbus_free(s.client);
    }
    if (s.thread.joinable()) s.thread.join();
    // Never modbus_close on the server: it would put back terminal settings
    // it never read. The master is ours to close.
    if (s.server != nullptr) modbus_free(s.server);
    if (s.mapping != nullptr) modbus_mapping_free(s.mapping);
    if (s.master >= 0) close(s.master);
}

std::unique_ptr<ModbusPair> ModbusPair::Start(std::string *error) {
    std::unique_ptr<ModbusPair> pair(new ModbusPair());
    State &s = *pair->state_;
    auto fail = [error](const std::string &what) {
        if (error != nullptr) *error = what + ": " + std::strerror(errno);
        return nullptr;
    };

    s.master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (s.master < 0) return fail("posix_openpt");
    char slave[128] = {};
    if (grantpt(s.master) != 0 || unlockpt(s.master) != 0 ||
        ptsname_r(s.master, slave, sizeof slave) != 0) {
        return fail("pseudo-terminal");
    }

    // The client opens the slave as it would open a serial port.
    s.client = modbus_new_rtu(slave, 9600, 'N', 8, 1);
    if (s.client == nullptr) return fail("modbus_new_rtu (client)");
    if (modbus_set_slave(s.client, kUnit) != 0) return fail("modbus_set_slave (client)");
    modbus_set_response_timeout(s.client, 1, 0);
    if (modbus_connect(s.client) != 0) return fail(std::string("modbus_connect ") + slave);

    // The server speaks RTU on the master descriptor: an RTU context that is
    // never connected, given the descriptor as its line.
    s.server = modbus_new_rtu(slave, 9600, 'N', 8, 1);
    if (s.server == nullptr) return fail("modbus_new_rtu (server)");
    if (modbus_set_slave(s.server, kUnit) != 0) return fail("modbus_set_slave (server)");
    if (modbus_set_socket(s.server, s.master) != 0) return fail("modbus_set_socket");
    // Wakes now and then so that the thread can notice the end.
    modbus_set_indication_timeout(s.server, 0, 200000);
    s.mapping = modbus_mapping_new(0, 0, kRegisters, 0);
    if (s.mapping == nullptr) return fail("modbus_mapping_new");
    for (int i = 0; i < kRegisters; ++i) s.mapping->tab_registers[i] = (uint16_t)(0x1100 + i);

    s.thread = std::thread([&s] { s.Serve(); });
    return pair;
}

bool ModbusPair::ReadSixteen(uint16_t (&registers)[16]) {
    return modbus_read_registers(state_->client, 0, kRegisters, registers) == kRegisters;
}

}  // namespace bench
