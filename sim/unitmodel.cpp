#include "unitmodel.h"

namespace sim {

namespace {

std::uint32_t address24(const frame::Bytes &body)
{
    return std::uint32_t(body[2]) | std::uint32_t(body[3]) << 8 | std::uint32_t(body[4]) << 16;
}

Outcome violation(const std::string &what)
{
    Outcome o;
    o.violation = what;
    return o;
}

// Fixed fields that the host must send as they are; anything else means a
// corrupted or invented packet that a real bootloader would not act on.
bool fieldsAre(const frame::Bytes &body, const frame::Bytes &expected)
{
    if (body.size() != expected.size() + 1)
        return false;
    for (std::size_t i = 0; i < expected.size(); ++i)
        if (body[i] != expected[i])
            return false;
    return true;
}

} // namespace

frame::Bytes plainReply(const frame::Bytes &body)
{
    frame::Bytes wire;
    wire.reserve(body.size() + 4);
    wire.push_back(frame::kStart);
    wire.push_back(frame::kStart);
    for (std::uint8_t b : body)
        wire.push_back(b);
    wire.push_back(frame::checksum(body));
    wire.push_back(frame::kEnd);
    return wire;
}

UnitModel::UnitModel(const UnitIdentity &identity, bool blank)
    : m_identity(identity)
{
    // The bootloader's own code: never 0xFF, so a stray write there shows.
    for (std::uint32_t i = 0; i < kAppStart; ++i)
        m_memory[i] = std::uint8_t(0x5A ^ (i & 0x3F));
    // An earlier firmware, likewise never 0xFF, so writing without erasing
    // is always caught.
    for (std::uint32_t i = kAppStart; i < kMemorySize; ++i)
        m_memory[i] = blank ? 0xFF : std::uint8_t((i * 31 + 0x11) % 255);
}

std::uint32_t UnitModel::applicationSum() const
{
    std::uint32_t sum = 0;
    for (std::uint32_t i = kAppStart; i < kMemorySize; i += 2)
        sum += std::uint32_t(m_memory[i]) | std::uint32_t(m_memory[i + 1]) << 8;
    return sum;
}

Outcome UnitModel::execute(const frame::Bytes &body)
{
    const std::uint8_t cmd = body[0];
    const std::uint8_t sub = body[1];
    if (cmd == 0x00 && sub == 0x01) {
        if (body.size() != 3)
            return violation("bad length");
        return versionReply();
    }
    if (cmd == 0x03 && sub == 0x01) {
        if (body.size() != 6)
            return violation("bad length");
        return erase(address24(body));
    }
    if (cmd == 0x02 && sub == 0x02) {
        if (body.size() != 5 + kWriteSize + 1)
            return violation("bad length");
        return program(address24(body), body.data() + 5);
    }
    if (cmd == 0x0A && (sub == 0x02 || sub == 0x01)) {
        if (!fieldsAre(body, {cmd, sub, 0x00, 0x08, 0x00}))
            return violation("bad fields");
        if (sub == 0x02) {
            std::uint32_t sum = applicationSum();
            if (m_blankFailPending) {
                m_blankFailPending = false;
                sum += 1;
            }
            return resultReply(sub, sum);
        }
        const bool failed = m_verifyFailPending || m_violated;
        m_verifyFailPending = false;
        return resultReply(sub, failed ? 0x3BFFC401u : 0u);
    }
    if (cmd == 0x0B && sub == 0x01) {
        if (!fieldsAre(body, {0x0B, 0x01, 0x16, 0x08, 0x00}))
            return violation("bad fields");
        Outcome o;
        o.reply = plainReply({cmd});
        return o;
    }
    if (cmd == 0x08 && sub == 0x01) {
        if (!fieldsAre(body, {0x08, 0x01, 0x00, 0x00, 0x00, 0x14}))
            return violation("bad fields");
        Outcome o;
        o.finished = true;
        return o;
    }
    return violation("unknown command");
}

Outcome UnitModel::versionReply()
{
    frame::Bytes body {0x00, 0x01};
    const std::string model = m_misreportedModel.empty() ? m_identity.model : m_misreportedModel;
    m_misreportedModel.clear();
    for (char c : model)
        body.push_back(std::uint8_t(c));
    // A unit without firmware reports 0xFF where the version would be.
    for (char c : m_identity.version + m_identity.versionMinor)
        body.push_back(m_identity.hasFirmware ? std::uint8_t(c) : 0xFF);
    Outcome o;
    o.reply = plainReply(body);
    return o;
}

Outcome UnitModel::erase(std::uint32_t address)
{
    if (address < kAppStart || address >= kMemorySize)
        return violation("erase address out of range");
    if (address % kRowSize != 0)
        return violation("erase address not at a row start");
    for (std::uint32_t i = 0; i < kRowSize; ++i)
        m_memory[address + i] = 0xFF;
    Outcome o;
    o.reply = plainReply({0x03});
    return o;
}

Outcome UnitModel::program(std::uint32_t address, const std::uint8_t *data)
{
    if (address < kAppStart || address + kWriteSize > kMemorySize)
        return violation("program address out of range");
    for (std::uint32_t i = 0; i < kWriteSize; ++i)
        if (m_memory[address + i] != 0xFF)
            return violation("write to unerased memory");
    for (std::uint32_t i = 0; i < kWriteSize; ++i)
        m_memory[address + i] = data[i];
    Outcome o;
    o.reply = plainReply({0x02});
    return o;
}

Outcome UnitModel::resultReply(std::uint8_t sub, std::uint32_t result) const
{
    Outcome o;
    o.reply = plainReply({0x0A, sub, 0x00, 0x08, 0x00, std::uint8_t(result), std::uint8_t(result >> 8),
        std::uint8_t(result >> 16), std::uint8_t(result >> 24)});
    return o;
}

} // namespace sim
