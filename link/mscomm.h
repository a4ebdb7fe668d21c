// MSComm1: the serial port as the update sees it. It keeps the settings of a
// communications control (port number, settings text, receive threshold),
// reports open failures by kind and raises its receive event on the window's
// thread. What talks to the system lives in one file per platform:
// mscomm_unix.cpp over QSerialPort, mscomm_win.cpp straight over Win32.
#pragma once

#include "link/portnumbering.h"

#include <QByteArray>
#include <QObject>
#include <QSerialPort>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

class MSComm : public QObject
{
    Q_OBJECT

public:
    // Open failures the update tells apart; everything else is ErrOther.
    enum Error { ErrNone = 0, ErrNoSuchPort = 8002, ErrPortInUse = 8005, ErrOther = -1 };

    // Event kinds of OnComm. Only data received is acted on.
    enum CommEventKind { comEvSend = 1, comEvReceive = 2 };

    // Port numbers (1 for COM1) and the devices they name, by the rules of
    // PortNumbering. A census takes stock of the ports present and gives the
    // new ones numbers; the window takes the first at start-up, and each
    // open and each look at the port list takes another. Lookups change
    // nothing.
    void takeCensus();
    // The device the port number names now, empty when it names none here.
    QString portDevice(int port) const;
    // For ports 1 to count, what each stands for here and now: "not present",
    // or the device, its adapter and, where known, the program holding it.
    QStringList portDescriptions(int count) const;
    // Why a port number names no port: what it named, the ports present with
    // their numbers, and the USB serial adapters the system sees that have
    // no port. Lines joined by "\r\n".
    QString missingPortText(int port) const;

    // The demo, the benchmark and tests wire port 1 to a device of their
    // own, asked for anew at each open (a simulated unit offers a new line
    // after a hang-up); no other number then names a device. Nothing wired
    // gives the system's ports back.
    using DeviceSource = std::function<QString()>;
    static void wirePort1(DeviceSource device);

    // Puts back what runs that were killed left changed in the drivers.
    static void restoreAbandonedDriverSettings();

    // Bytes still in the driver's output queue of the open port; tests
    // replace it to stand for a driver that never finishes sending.
    using OutputQueueReader = std::function<int(qintptr handle)>;
    static void setOutputQueueReader(OutputQueueReader reader);

    static constexpr int kInBufferSize = 1024;
    static constexpr int kOutBufferSize = 512;

    explicit MSComm(QObject *parent = nullptr);
    ~MSComm() override;

    void setCommPort(int port);
    int CommPort() const { return m_commPort; }

    // "9600,N,8,1" and the like. A text that cannot be applied whole is refused
    // and leaves the port as it was.
    bool setSettings(const QString &settings);
    QString Settings() const { return m_settings; }

    void setInputMode(int mode) { m_inputMode = mode; }
    void setInputLen(int length) { m_inputLen = length; }
    void setRThreshold(int count) { m_rThreshold = count; }
    int RThreshold() const { return m_rThreshold; }
    void setSThreshold(int count) { m_sThreshold = count; }
    void setDTREnable(bool on);
    void setRTSEnable(bool on);
    void setNullDiscard(bool on) { m_nullDiscard = on; }
    void setHandshaking(int mode) { m_handshaking = mode; }

    // PortOpen = True / False. Opening returns false and sets lastError().
    // On Linux and macOS a port that another program holds (lock file,
    // advisory lock, or open in a process of this user) is ErrPortInUse; an
    // open port holds the advisory lock itself until it closes. Windows
    // refuses a second open by itself.
    bool setPortOpen(bool open);
    bool PortOpen() const;
    // True when the last close had to drop bytes the driver never sent.
    bool outputDropped() const { return m_outputDropped; }

    // Hands every byte to the driver, waiting for a full driver up to the
    // bytes' wire time plus a grace period; false (and the line failed) when
    // the bytes could not all be written.
    bool Output(const QByteArray &bytes);
    // Waits up to msecs for bytes to arrive, returning as soon as some do;
    // a receive event they complete is raised before it returns.
    void waitForInput(int msecs);
    // A port whose driver cannot signal arrivals is looked at every
    // millisecond between reply waits too; paused, it is not looked at until
    // resumed, and bytes that come meanwhile wait in the driver.
    void pauseIdlePolling(bool paused);
    int CommEvent() const { return m_commEvent; }
    QByteArray Input();
    void discardInput();

    int lastError() const { return m_lastError; }
    QString lastErrorText() const { return m_lastErrorText; }
    // The last open was refused for want of access rights to the device.
    bool lastOpenDenied() const { return m_openDenied; }
    QString deviceName() const { return m_device; }
    // After ErrPortInUse: who holds the port, where known ("/dev/ttyUSB0 is
    // open in minicom (process 4242)."), else empty.
    QString portHolderText() const { return m_portHolderText; }

    // True once the port has failed (unplugged adapter, hung-up line), which
    // also closes it; stays true until the next open.
    bool lineFailed() const { return m_lineFailed; }

    // Time the line takes to carry this many bytes at the current settings.
    int wireTimeMs(qsizetype bytes) const;
    qint64 wireTimeNs(qsizetype bytes) const;

    // The system's descriptor or handle of the open port.
    qintptr handle() const;

#ifdef Q_OS_WIN
    // Makes every open fail with this system error (0: none), as Windows
    // fails a port that another program holds; Wine never does.
    static void setSystemOpenError(unsigned long systemError);
#endif

signals:
    void OnComm();
    void LineFailed();

private:
    // The platform's part, in mscomm_unix.cpp or mscomm_win.cpp.
    struct Device;
    bool openDevice();
    bool closeDevice(); // false when unsent output had to be dropped
    void abortDevice(); // closes at once, dropping unsent output
    bool deviceOpen() const;
    void applyLineSettings();
    void applyControlLines();
    bool writeDevice(const QByteArray &bytes);
    void waitOnDevice(int msecs);
    QByteArray readDevice();
    void flushDeviceInput();
    qintptr deviceHandle() const;
    static int driverOutputQueue(qintptr handle);
    static QStringList portHolderNames(const QStringList &devices);

    // Raises the receive event when at least the threshold's count of bytes
    // is waiting.
    void receiveIfReady(qsizetype waiting);
    void failLine();
    int outputQueued() const;

    static constexpr int kDriverGraceMs = 1000;

    std::unique_ptr<Device> d;
    PortNumbering m_numbering;
    SystemPort m_port; // what the last open found behind the number
    int m_commPort = 1;
    QString m_settings = QStringLiteral("9600,N,8,1");
    qint32 m_baud = 9600;
    QSerialPort::Parity m_parity = QSerialPort::NoParity;
    QSerialPort::DataBits m_dataBits = QSerialPort::Data8;
    QSerialPort::StopBits m_stopBits = QSerialPort::OneStop;
    int m_inputMode = 0;
    int m_inputLen = 0;
    int m_rThreshold = 0;
    int m_sThreshold = 0;
    bool m_dtr = false;
    bool m_rts = false;
    bool m_nullDiscard = false;
    int m_handshaking = 0;
    int m_commEvent = 0;
    int m_lastError = ErrNone;
    QString m_lastErrorText;
    QString m_portHolderText;
    QString m_device;
    bool m_openDenied = false;
    bool m_lineFailed = false;
    bool m_outputDropped = false;
};
