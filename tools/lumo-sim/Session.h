// Simulator::Session, one session on one link, shared by the files that implement it:
//   FrameExchange.cpp   frames on the link: writing, reading, ACK/NAK, resending
//   BusArbitration.cpp  several devices on one link: handshakes, who answers a command
//   DeviceCommands.cpp  what each host command does to a device, measurements
//   FaultInjection.cpp  the configured faults (see FaultInjection.h)
//   SessionReport.cpp   how a session's end is counted into the report
//   Simulator.cpp       the session's course and the Simulator that runs sessions
#ifndef LUMO_SIM_SESSION_H
#define LUMO_SIM_SESSION_H

#include "HostFrameReader.h"
#include "Simulator.h"
#include "Waveform.h"

namespace lumosim {

// One session on one link. Every operation returns a Step; anything but Ok ends the
// session (Refused only ends one device's handshake).
class Simulator::Session {
public:
    Session(Simulator &sim, Link &link) : sim_(sim), link_(link), reader_(link) {}
    SessionEnd run();
    bool stopped() const { return stopped_; }

private:
    // Unacknowledged: a device frame got no ACK after its attempts (error_ says which).
    enum class Step { Ok, Refused, Silent, Dropped, Closed, Stopped, Unacknowledged, Failed };

    Step handshake(DeviceState &dev);
    Step handshakeNext();
    bool handshakesWaiting() const { return nextHandshake_ < players_.size(); }
    void choosePlayers();
    void noteMeasurementsLeft();
    void noteLinkBusy();
    int quietLeftMs() const;
    void ignoreHostFrame(const HostFrame &frame);
    Step serve();
    Step dispatch(const HostFrame &frame);
    Step retrieve(DeviceState &dev);
    Step sendBlock(DeviceState &dev, uint32_t index, uint32_t block);
    Step abandonRetrieval(DeviceState &dev);
    void noteHandedOver(DeviceState &dev, uint32_t index, const MeasurementHeader &header);
    Step setDateTime(DeviceState &dev, const Bytes &data);
    Step setParams(DeviceState &dev, const Bytes &data);
    Step keepAlive(DeviceState &dev, const Bytes &data);
    Step sendFrame(DeviceState &dev, uint8_t command, const Bytes &data, bool handshake);
    // Sends frame_ (built with dev.nextPacket) and waits for its ACK, resending.
    Step transmit(DeviceState &dev, bool handshake);
    Step writeOut();
    Step fromIo(IoResult r);
    Step fromRead(ReadOutcome r);
    ReadOutcome readFrame(HostFrame &frame, int timeoutMs);
    bool acceptHostFrame(const HostFrame &frame);
    void answerBadLrc();
    DeviceState &current();
    DeviceState &countTarget();
    static bool finished(const DeviceState &dev);
    bool anyAwake() const;
    Step drain(int timeoutMs);
    Step flood();
    SessionEnd finish(Step step);
    SessionEnd conclude(Step step);
    template <typename F> void updateDevice(const DeviceState &dev, F &&change)
    {
        sim_.update([&](SimReport &r) { change(*r.device(dev.config.din)); });
    }

    Simulator &sim_;
    Link &link_;
    HostFrameReader reader_;
    Bytes out_;   // bytes waiting to go out with the next write (ACKs ride with answers)
    Bytes frame_; // the device frame being sent, kept for resending
    uint16_t lastPacket_ = 0;
    std::vector<DeviceState *> players_; // the devices of this session, ascending DIN
    // Players handshake in DIN order; those from here on have not had their turn yet.
    std::size_t nextHandshake_ = 0;
    int64_t lastTrafficNs_ = 0;      // when the link was last busy (only with handshakes waiting)
    std::size_t bufferedAtLook_ = 0; // bytes of a partial host frame at the last look
    bool stopped_ = false;
    std::string error_;
};

} // namespace lumosim

#endif
