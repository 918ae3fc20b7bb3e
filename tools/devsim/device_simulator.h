#pragma once

#include "intel_hex.h"

#include <QByteArray>
#include <QByteArrayView>

#include <optional>

// The bootloader as seen through one datagram at a time: no sockets, no files, no clocks.
//
// Replies (each ends with CR LF):
//   OOTi                      "VELTA BOOT VER=<version> ADDR=<address>"
//   VER                       "VER=<version>"
//   OOT:<record>              "OK", "ERROR <reason>", or "DOWNLOAD" for the end-of-file record
//   OOT#<record>              "OK", "ERROR <reason>", "ERROR VERIFY <8 hex digits>", "DOWNLOAD"
//   OOT$xx                    "ADDR SET XX" ("BAD ADDRESS" unless two hex digits)
//   OOTg                      "START"
//   UART 2,7                  "UART 2,7 ON"
//   STATUS                    "STATUS <phase> RECORDS=<n> BYTES=<n>"
//   anything else             "UNKNOWN COMMAND"
// Only record replies contain "OK", "ERROR", "DOWNLOAD" and only version replies "VER=": the
// tool reacts to those words anywhere in a reply.
class DeviceModel {
public:
    enum class Phase { Idle, Loading, Loaded, Verifying, Verified };

    explicit DeviceModel(quint8 address = 16) : m_address(address) {}

    // The Nth record line of every download pass is answered "ERROR" and not stored (0: never).
    void setErrorAtLine(int line) { m_errorAtLine = line; }

    // The reply to one datagram; nothing when it is a gateway form for another device or a
    // malformed gateway form.
    [[nodiscard]] std::optional<QByteArray> handle(const QByteArray& datagram);

    // True once after each completed download pass, for whoever saves the image.
    [[nodiscard]] bool takeDownloadCompleted();

    [[nodiscard]] const HexImage& image() const { return m_image; }
    [[nodiscard]] Phase phase() const { return m_phase; }
    [[nodiscard]] quint8 address() const { return m_address; }
    // The address last set with OOT$, if any. The simulator keeps answering on its own address.
    [[nodiscard]] std::optional<quint8> requestedAddress() const { return m_requestedAddress; }
    [[nodiscard]] int recordsStored() const { return m_recordsStored; }

    static constexpr QByteArrayView Version = "2.10";

private:
    // The command inside a gateway form, the line itself when it is direct, or nothing when
    // the datagram is not for this device.
    [[nodiscard]] std::optional<QByteArray> bodyFor(QByteArrayView line) const;
    [[nodiscard]] QByteArray command(const QByteArray& body);
    [[nodiscard]] QByteArray downloadRecord(QByteArrayView record);
    [[nodiscard]] QByteArray verifyRecord(QByteArrayView record);
    [[nodiscard]] QByteArray status() const;
    void startDownloadPass();

    quint8 m_address;
    int m_errorAtLine = 0;
    Phase m_phase = Phase::Idle;
    HexImage m_image;
    HexCursor m_loadCursor;
    HexCursor m_verifyCursor;
    int m_passLine = 0;
    int m_recordsStored = 0;
    bool m_completed = false;
    std::optional<quint8> m_requestedAddress;
};
