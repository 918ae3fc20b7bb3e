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
//   OOT:<record>              "OK", "ERROR <reason>", or "DOWNLOAD" for the end-of-file record;
//                             "ERROR IMAGE FULL" past MaxImageBytes or MaxImageRuns, "ERROR BUSY" to a second
//                             client while another one is in the middle of a pass
//   OOT#<record>              "OK", "ERROR <reason>", "ERROR VERIFY <8 hex digits>", "DOWNLOAD"
//   OOT$xx                    "ADDR SET XX" ("BAD ADDRESS" unless two hex digits)
//   OOTg                      "START"
//   UART 2,7                  "UART 2,7 ON"
//   STATUS                    "STATUS <phase> RECORDS=<n> BYTES=<n>"
//   anything else             "UNKNOWN COMMAND"; a reply of this list itself gets no answer
// Only record replies contain "OK", "ERROR", "DOWNLOAD" and only version replies "VER=": the
// tool reacts to those words anywhere in a reply.
//
// Like flash memory, the device keeps one image: a download pass that begins with a valid record
// wipes it, and the new image is kept when the pass ends with the end-of-file record. A verify
// pass is checked against the kept image.
class DeviceModel {
public:
    enum class Phase { Idle, Loading, Loaded, Verifying, Verified };

    // The most data bytes the device holds, as a real part's flash would bound it, and the most
    // separate runs of them: scattered one-byte records would otherwise cost about a hundred
    // bytes of memory each.
    static constexpr qsizetype MaxImageBytes = 16 * 1024 * 1024;
    static constexpr qsizetype MaxImageRuns = 65536;
    // A client silent this long no longer holds the device in the middle of a pass.
    static constexpr qint64 OwnerTimeoutMs = 30000;

    explicit DeviceModel(quint8 address = 16) : m_address(address) {}

    // The Nth record line of every download pass is answered "ERROR" and not stored (0: never).
    void setErrorAtLine(int line) { m_errorAtLine = line; }

    // The reply to one datagram from `client` (any text naming its endpoint) at `nowMs`; nothing
    // when it is a gateway form for another device, a malformed gateway form, or itself a reply
    // (two devices, or a device and anything else that answers, would answer each other for ever).
    [[nodiscard]] std::optional<QByteArray> handle(const QByteArray& datagram, const QByteArray& client = {},
                                                   qint64 nowMs = 0);

    // True once after each completed download pass, for whoever saves the image.
    [[nodiscard]] bool takeDownloadCompleted();

    // The image kept: the last completed download (empty while a download is under way).
    [[nodiscard]] const HexImage& image() const { return m_image; }
    [[nodiscard]] Phase phase() const { return m_phase; }
    [[nodiscard]] quint8 address() const { return m_address; }
    // The address last set with OOT$, if any. The simulator keeps answering on its own address.
    [[nodiscard]] std::optional<quint8> requestedAddress() const { return m_requestedAddress; }
    [[nodiscard]] int recordsStored() const { return m_recordsStored; }

    static constexpr QByteArrayView Version = "2.10";
    // True when `body` (without its line end) is one of the replies above.
    [[nodiscard]] static bool isReply(QByteArrayView body);

private:
    // The command inside a gateway form, the line itself when it is direct, or nothing when
    // the datagram is not for this device.
    [[nodiscard]] std::optional<QByteArray> bodyFor(QByteArrayView line) const;
    [[nodiscard]] QByteArray command(const QByteArray& body, const QByteArray& client, qint64 nowMs);
    // Another client than the one in the middle of a pass.
    [[nodiscard]] bool busyFor(const QByteArray& client, qint64 nowMs) const;
    [[nodiscard]] QByteArray downloadRecord(QByteArrayView record);
    [[nodiscard]] QByteArray verifyRecord(QByteArrayView record);
    [[nodiscard]] QByteArray status() const;
    void startDownloadPass();

    quint8 m_address;
    int m_errorAtLine = 0;
    Phase m_phase = Phase::Idle;
    HexImage m_image;          // the image kept
    HexImage m_loading;        // the image of the download pass under way
    QByteArray m_owner;        // the client of the pass under way
    bool m_ownerHolds = false; // ... and it was not told ERROR last
    qint64 m_ownerSeenMs = 0;
    HexCursor m_loadCursor;
    HexCursor m_verifyCursor;
    int m_passLine = 0;
    QByteArray m_lastRecord; // the last record this download pass stored
    int m_recordsStored = 0;
    bool m_completed = false;
    std::optional<quint8> m_requestedAddress;
};
