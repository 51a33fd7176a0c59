// Gate address texts: validation, the normalised GateName and the parsers.
//
// An address is "SSGK" plus up to four free characters: station SS (01 to
// 63), group letter G (A to P), kind K ("A" byte, "0".."7" bit, "C"
// compound). The parsers turn it into the five address words the host keeps.
#include "addressing/gate_address.h"

#include <cstring>

#include "host/qorhost.h"

namespace {

// The characters allowed at each of the four address positions.
constexpr const char *kPositionSets[4] = {"0123456", "0123456789", "ABCDEFGHIJKLMNOP", "01234567AC"};

// Groups that can start a compound gate: the value spans this group and
// the next one, so it starts on an even group and never on the last.
constexpr const char kCompoundGroups[] = "CEGIKMO";

constexpr uint32_t kFifthWord = 16;

char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// A plain strchr would find the set's own terminator for c == 0, so a
// terminator never belongs to a set here.
bool InSet(char c, const char *set) { return c != '\0' && std::strchr(set, c) != nullptr; }

// Length of the text, looked at no further than one past the longest
// accepted text.
size_t BoundedLength(const char *text) {
    size_t length = 0;
    while (length <= kAddressTextMax && text[length] != '\0') ++length;
    return length;
}

int32_t StationNumber(const char name[kGateNameSize]) { return (name[0] - '0') * 10 + (name[1] - '0'); }

uint32_t GroupNumber(const char name[kGateNameSize]) { return static_cast<uint32_t>(name[2] - 'A'); }

bool StationInRange(int32_t station) { return station >= 1 && station <= 63; }

// Both parsers preset these before any test; the group word is left as the
// host had it until a parser writes it.
void WritePresets(uint32_t words[QOR_ADDRESS_WORDS]) {
    words[QOR_WORD_BIT] = QOR_NO_BIT;
    words[QOR_WORD_FIFTH] = kFifthWord;
    words[QOR_WORD_STATION] = 0;
    words[QOR_WORD_COMPOUND] = 0;
}

}  // namespace

bool ValidateAddress(const char *text) {
    // Shorter texts do not fill the four address positions.
    size_t length = BoundedLength(text);
    if (length > kAddressTextMax || length < 4) return false;
    for (size_t position = 0; position < 4; ++position) {
        if (!InSet(Upper(text[position]), kPositionSets[position])) return false;
    }
    return true;
}

void GateName(const char *text, char name[kGateNameSize]) {
    // Stops at the terminator, the first space or a full buffer, whichever
    // comes first, so it reads no further than it copies.
    size_t length = 0;
    while (length < kGateNameSize - 1 && text[length] != '\0' && text[length] != ' ') {
        name[length] = Upper(text[length]);
        ++length;
    }
    name[length] = '\0';
}

int32_t SingleAddressParser(const QorRequest *request) {
    auto *record = static_cast<AddressParseRecord *>(request->data);
    uint32_t *words = record->words;
    WritePresets(words);
    if (!ValidateAddress(record->text)) return QOR_REFUSED;

    char name[kGateNameSize];
    GateName(record->text, name);
    const char group = name[2];
    const char suffix = name[3];
    const int32_t dataType = record->dataType;

    // The kind must agree with the host's data type before anything else.
    if (suffix == 'A') {
        if (dataType != QOR_TYPE_BYTE) return QOR_REFUSED;
    } else if (suffix == 'C') {
        if (dataType != QOR_TYPE_COMPOUND) return QOR_REFUSED;
        if (!InSet(group, kCompoundGroups)) {
            err(QOR_LOG_OPERATOR, "DOVED: Illegal Group in Compound Gate %s", name);
            return QOR_REFUSED;
        }
        words[QOR_WORD_COMPOUND] = QOR_COMPOUND_FLAG;
    } else if (dataType != QOR_TYPE_BIT) {
        return QOR_REFUSED;
    }

    const int32_t station = StationNumber(name);
    if (!StationInRange(station)) return QOR_REFUSED;
    words[QOR_WORD_STATION] = static_cast<uint32_t>(station);
    words[QOR_WORD_GROUP] = GroupNumber(name);
    // Suffix 0 is the most significant bit of the group's byte.
    if (dataType == QOR_TYPE_BIT) words[QOR_WORD_BIT] = static_cast<uint32_t>(7 - (suffix - '0'));
    return QOR_DONE;
}

int32_t BlockAddressParser(const QorRequest *request) {
    auto *record = static_cast<AddressParseRecord *>(request->data);
    uint32_t *words = record->words;
    WritePresets(words);
    if (!ValidateAddress(record->text)) return QOR_REFUSED;

    char name[kGateNameSize];
    GateName(record->text, name);

    const int32_t station = StationNumber(name);
    if (!StationInRange(station)) return QOR_REFUSED;
    words[QOR_WORD_STATION] = static_cast<uint32_t>(station);
    words[QOR_WORD_GROUP] = GroupNumber(name);

    if (name[3] != 'A') return QOR_REFUSED;
    // A block always starts at the station's first group.
    if (name[2] != 'A') {
        err(QOR_LOG_OPERATOR, "DOVED: Illegal Block Starting Address. Gate=%s", name);
        return QOR_REFUSED;
    }
    // Only the upper limit is tested: the host's count is taken as it is.
    if (record->elementCount > 16) return QOR_REFUSED;
    return QOR_DONE;
}
