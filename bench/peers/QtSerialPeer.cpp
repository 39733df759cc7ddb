// Qt Serial Port as a receiver of the serial benchmark (modes: PeerCommon.h). Read the way its
// documentation shows: the readyRead signal on the main thread's event loop, then canReadLine
// and readLine for every complete line.
#include <QCoreApplication>
#include <QSerialPort>
#include <QTimer>

#include <memory>
#include <string>

#include "bench/peers/PeerCommon.h"

namespace {

using peer::Say;

// The line without its CR LF (readLine keeps the line end).
std::string Chomp(const QByteArray& Line) {
  qsizetype N = Line.size();
  if (N >= 2 && Line[N - 2] == '\r' && Line[N - 1] == '\n') N -= 2;
  return std::string(Line.constData(), static_cast<size_t>(N));
}

bool OpenPort(QSerialPort& Port, const std::string& Device) {
  Port.setPortName(QString::fromStdString(Device));
  Port.setBaudRate(QSerialPort::Baud19200);
  Port.setDataBits(QSerialPort::Data8);
  Port.setParity(QSerialPort::NoParity);
  Port.setStopBits(QSerialPort::OneStop);
  Port.setFlowControl(QSerialPort::NoFlowControl);
  return Port.open(QIODevice::ReadWrite);
}

void WriteProbe(QSerialPort& Port) {
  Port.write(peer::Probe, sizeof peer::Probe - 1);
}

// Probes the devices one after another, each with 500 ms for "OK", all in the event loop.
class TSearch : public QObject {
 public:
  explicit TSearch(const std::vector<std::string>& Devices) : FDevices(Devices) {
    FTimer.setSingleShot(true);
    QObject::connect(&FTimer, &QTimer::timeout, this, [this] { Next(false); });
  }
  void Start() {
    FStart = peer::NowNs();
    Probe();
  }

 private:
  void Probe() {
    for (; FIndex < FDevices.size(); ++FIndex) {
      FPort = std::make_unique<QSerialPort>();
      if (!OpenPort(*FPort, FDevices[FIndex])) continue;
      QObject::connect(FPort.get(), &QSerialPort::readyRead, this, [this] {
        while (FPort && FPort->canReadLine()) {
          if (peer::IsOk(Chomp(FPort->readLine()))) return Next(true);
        }
      });
      WriteProbe(*FPort);
      FTimer.start(peer::SearchWaitMs);
      return;
    }
    Finish(false, FDevices.size() - 1);
  }
  void Next(bool Found) {
    FTimer.stop();
    FPort->close();
    // Not deleted inside its own signal.
    FPort.release()->deleteLater();
    if (Found) return Finish(true, FIndex);
    ++FIndex;
    Probe();
  }
  void Finish(bool Found, size_t Index) {
    Say("search " + std::to_string(Found ? 1 : 0) + " " + std::to_string(Index) + " " +
        std::to_string(peer::NowNs() - FStart));
    QCoreApplication::quit();
  }

  std::vector<std::string> FDevices;
  size_t FIndex = 0;
  std::unique_ptr<QSerialPort> FPort;
  QTimer FTimer;
  long long FStart = 0;
};

int Run(const peer::TArgs& Args) {
  if (Args.Mode == "search") {
    TSearch Search(Args.Devices);
    QTimer::singleShot(0, [&] { Search.Start(); });
    return QCoreApplication::exec();
  }
  const std::string& Device = Args.Devices[0];
  if (Args.Mode == "openclose") {
    const long long Start = peer::NowNs();
    for (long long I = 0; I < Args.Count; ++I) {
      QSerialPort Port;
      if (!OpenPort(Port, Device)) return 1;
      WriteProbe(Port);
      // A write goes out from the event loop; wait for it as a probe must.
      Port.waitForBytesWritten(1000);
      Port.close();
    }
    Say("cycles " + std::to_string(Args.Count) + " " + std::to_string(peer::NowNs() - Start));
    return 0;
  }

  QSerialPort Port;
  if (!OpenPort(Port, Device)) {
    std::fprintf(stderr, "qt: cannot open %s: %s\n", Device.c_str(),
                 Port.errorString().toStdString().c_str());
    return 1;
  }
  long long Lines = 0, Bad = 0, DoneNs = 0;
  if (Args.Mode == "throughput") {
    QObject::connect(&Port, &QSerialPort::readyRead, [&] {
      while (Port.canReadLine()) {
        if (Chomp(Port.readLine()).size() != peer::LineLength) ++Bad;
        if (++Lines == Args.Count) {
          DoneNs = peer::NowNs();
          QCoreApplication::quit();
        }
      }
    });
  } else if (Args.Mode == "latency") {
    QObject::connect(&Port, &QSerialPort::readyRead, [&] {
      while (Port.canReadLine()) {
        if (peer::IsBye(Chomp(Port.readLine()))) return QCoreApplication::quit();
        WriteProbe(Port);
        ++Lines;
      }
    });
  } else if (Args.Mode == "flood") {
    QObject::connect(&Port, &QSerialPort::readyRead, [&] {
      while (Port.canReadLine()) {
        ++Lines;
        if (peer::EndsWithEnd(Chomp(Port.readLine()))) QCoreApplication::quit();
      }
    });
  } else if (Args.Mode == "idle") {
    QObject::connect(&Port, &QSerialPort::readyRead, [&] { Port.readAll(); });
    QTimer::singleShot(static_cast<int>(Args.Count * 1000), [] { QCoreApplication::quit(); });
  }
  Say("ready");
  const long long Cpu0 = peer::CpuNs();
  QCoreApplication::exec();
  if (Args.Mode == "idle") {
    Say("cpu " + std::to_string(peer::CpuNs() - Cpu0));
  } else if (Args.Mode == "throughput") {
    Say("done " + std::to_string(DoneNs) + " " + std::to_string(Lines) + " " + std::to_string(Bad));
  } else {
    Port.waitForBytesWritten(1000);
    Say("done " + std::to_string(Lines));
  }
  Port.close();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication App(argc, argv);
  return Run(peer::ParseArgs(argc, argv));
}
