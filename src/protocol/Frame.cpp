#include "protocol/Frame.h"

#include "helpers/ByteOrder.h"

#include <algorithm>
#include <cstring>

namespace liblumo::protocol {

uint8_t lrc(const uint8_t *bytes, int size)
{
    uint8_t value = 0;
    for (int i = 0; i < size; ++i)
        value ^= bytes[i];
    return value;
}

QByteArray buildFrame(uint16_t packet, uint8_t command, const QByteArray &data)
{
    if (data.size() > kMaxDataLength)
        return {};
    const int lrcPosition = kDataOffset + data.size();
    QByteArray out(lrcPosition + 1, Qt::Uninitialized);
    auto *bytes = reinterpret_cast<uint8_t *>(out.data());
    bytes[0] = kStartByte;
    helpers::writeU16BE(packet, bytes + kPacketOffset);
    helpers::writeU16BE(uint16_t(data.size() + kLengthBias), bytes + kLengthOffset);
    bytes[kCommandOffset] = command;
    std::copy(data.constBegin(), data.constEnd(), out.begin() + kDataOffset);
    bytes[lrcPosition] = lrc(bytes, lrcPosition);
    return out;
}

uint16_t packetOf(const uint8_t *frame)
{
    return uint16_t(helpers::readU16BE(frame + kPacketOffset));
}

int dataLengthOf(const uint8_t *frame)
{
    return uint16_t(helpers::readU16BE(frame + kLengthOffset) - kLengthBias);
}

uint8_t commandOf(const uint8_t *frame)
{
    return frame[kCommandOffset];
}

FrameScan scanFrame(const uint8_t *bytes, int size)
{
    FrameScan scan;
    const auto *start = static_cast<const uint8_t *>(std::memchr(bytes, kStartByte, size_t(size)));
    if (start == nullptr) {
        scan.start = size;
        return scan;
    }
    scan.start = int(start - bytes);
    scan.status = FrameScan::Incomplete;
    const int held = size - scan.start;
    if (held < kHeaderSize)
        return scan;
    scan.frameSize = dataLengthOf(start) + kFrameOverhead;
    if (held < scan.frameSize)
        return scan;
    const int lrcPosition = scan.frameSize - 1;
    scan.status =
        lrc(start, lrcPosition) == start[lrcPosition] ? FrameScan::Complete : FrameScan::BadLrc;
    return scan;
}

} // namespace liblumo::protocol
