// The reader thread: waits for received characters on the port, reads them
// one report's worth at a time, frames them and hands every report to
// ProcessPoint in arrival order. It is the driver's only thread, so point
// processing, the touch beep and pointer injection all run here.
#include <algorithm>

#include "driver/driver.h"

namespace orvex {

namespace {

// A port that keeps failing must not cost CPU: the thread sleeps on
// ReaderWake (which the lifecycle sets when it stops the driver), longer
// after each consecutive failure.
constexpr uint32_t BackoffFirstMs = 10;
constexpr uint32_t BackoffLongestMs = 500;
// A port whose waits or reads succeed but never deliver a byte would turn
// the loop into a busy one; after this many such passes in a row the thread
// backs off as it does for failures.
constexpr uint32_t EmptyPassesBeforeBackoff = 8;

bool StopRequested(const Driver& d) {
    return d.State.StopRequested.Load() != 0;
}

class Reader {
  public:
    Reader(Driver& d, ReportProtocol protocol) : D_(d) { Select(protocol); }

    void Run() {
        while (!StopRequested(D_)) {
            SerialPort* port = D_.PortHandle.get();
            if (!port) {
                if (!Recover())
                    return;
                continue;
            }
            // The wait's outcome matters only for telling a dead port from
            // a live one; the mask is what says whether there is data.
            uint32_t mask = 0;
            if (!port->WaitCommEvent(&mask)) {
                if (!Failed())
                    return;
                continue;
            }
            if ((mask & EV_RXCHAR) == 0) {
                // Woken without data: a cleared event mask (the driver is
                // stopping) or a spurious wake-up.
                if (StopRequested(D_))
                    return;
                Empty();
                continue;
            }
            if (!ReadWhileData(*port))
                return;
        }
    }

  private:
    void Select(ReportProtocol protocol) {
        El_ = (protocol == ReportProtocol::EL);
        Chunk_ = El_ ? PacketSizeEL : ReportSizeTS;
        Ts_.Reset();
        ElFramer_.Reset();
    }

    // Reads until a read comes back empty or fails. Returns false when the
    // thread is to end.
    bool ReadWhileData(SerialPort& port) {
        for (;;) {
            uint32_t got = 0;
            const bool ok = port.Read(Buffer_, Chunk_, &got);
            if (ok && got > 0) {
                Feed(std::min(got, Chunk_));
                EmptyPasses_ = 0;
                Backoff_.Reset();
                SinceRecovery_ = true;
                LossReported_ = false;
            }
            if (StopRequested(D_))
                return false;
            if (!ok)
                return Failed();
            if (got == 0) {
                Empty();
                return true;
            }
        }
    }

    void Feed(uint32_t count) {
        for (uint32_t i = 0; i < count; ++i) {
            const uint8_t b = Buffer_[i];
            if (El_) {
                Report r{};
                switch (ElFramer_.Push(b, &r)) {
                    case FramerEL::Result::Report:
                        ProcessPoint(D_, r.X, r.Y, r.Touch);
                        break;
                    case FramerEL::Result::ChecksumError:
                        DebugPrint(D_, "ORVEXSER: ReadThread_EL : Checksum error!\r\n");
                        break;
                    case FramerEL::Result::None:
                        break;
                }
            } else if (auto r = Ts_.Push(b)) {
                ProcessPoint(D_, r->X, r->Y, r->Touch);
            }
        }
    }

    // A wait or read failed. A vanished device is handed to recovery; any
    // other failure is retried after a pause. Returns false when the thread
    // is to end.
    bool Failed() {
        const uint32_t error = GetLastError();
        if (StopRequested(D_))
            return false;
        if (error == ERROR_DEVICE_NOT_CONNECTED)
            return Recover();
        BackOff();
        return true;
    }

    void Empty() {
        if (++EmptyPasses_ >= EmptyPassesBeforeBackoff)
            BackOff();
    }

    void BackOff() { D_.ReaderWake.Wait(Backoff_.Take()); }

    // Returns false when the driver is being stopped.
    bool Recover() {
        if (!LossReported_) {
            DebugPrint(D_, "ORVEXSER: Lost connection to the touch controller\r\n");
            LossReported_ = true;
        } else if (!SinceRecovery_) {
            // The last recovery gave us a port that failed before it
            // delivered anything: do not hammer the device.
            BackOff();
            if (StopRequested(D_))
                return false;
        }
        if (!RecoverPort(D_))
            return false;
        // The controller may have come back speaking the other protocol, and
        // whatever report was under way belongs to the old connection.
        Select(D_.State.Protocol.Load());
        EmptyPasses_ = 0;
        SinceRecovery_ = false;
        return true;
    }

    Driver& D_;
    bool El_ = false;
    uint32_t Chunk_ = ReportSizeTS;
    uint8_t Buffer_[PacketSizeEL] = {};
    FramerTS Ts_;
    FramerEL ElFramer_;
    DoublingPause Backoff_{BackoffFirstMs, BackoffLongestMs};
    uint32_t EmptyPasses_ = 0;
    // A loss is reported once; it counts as over when bytes flow again.
    bool LossReported_ = false;
    bool SinceRecovery_ = true;
};

uint32_t RunReader(Driver& d, ReportProtocol protocol) {
    Reader(d, protocol).Run();
    if (d.StopEvent)
        d.StopEvent->Set();
    return 1;
}

}  // namespace

uint32_t ReadThread_TS(Driver& d) {
    return RunReader(d, ReportProtocol::TS);
}
uint32_t ReadThread_EL(Driver& d) {
    return RunReader(d, ReportProtocol::EL);
}

}  // namespace orvex
