#pragma once

#include "core/protocol/intel_hex.h"

#include <QByteArray>
#include <QByteArrayView>

#include <optional>

// The bootloader as seen through one datagram at a time: no sockets, no files, no clocks. The
// simulator puts it on a socket; tests let a host conversation talk to it in-process.
//
// Replies (each ends with the line end):
//   OOTi                      "VELTA BOOT VER=<version> ADDR=<address>" (or the boot text set)
//   VER                       "VER=<version>"
//   OOT:<record>              "OK", "ERROR <reason>", or "DOWNLOAD" for the end-of-file record;
//                             "ERROR IMAGE FULL" past MaxImageBytes or MaxImageRuns, "ERROR BUSY"
//                             to a second client while another one is in the middle of a pass
//   OOT#<record>              "OK", "ERROR <reason>", "ERROR VERIFY <8 hex digits>", "DOWNLOAD"
//   OOT$xx                    "ADDR SET XX" ("BAD ADDRESS" unless two hex digits)
//   OOTg                      "START"
//   UART 2,7                  "UART 2,7 ON"
//   STATUS                    "STATUS <phase> RECORDS=<n> BYTES=<n>": of the download pass
//                             while LOADING, otherwise of the image kept
//   anything else             "UNKNOWN COMMAND"; a reply of this list itself gets no answer
// Only record replies contain "OK", "ERROR", "DOWNLOAD" and only version replies "VER=": the
// window reacts to those words anywhere in a reply.
//
// Like flash memory, the device keeps one image: a download pass that begins with a valid record
// wipes it, and the new image is kept when the pass ends with the end-of-file record. A verify
// pass is checked against the kept image.
class DeviceModel {
public:
    enum class Phase { Idle, Loading, Loaded, Verifying, Verified };
    // What a datagram cost the device beyond its answer: reading a record (of either pass), or
    // also writing a flash row, which a download pass does after every `rowEvery`th record stored.
    enum class Work { None, Record, RowWrite };

    struct Settings {
        int address = 16;        // behind a gateway
        int errorAtLine = 0;     // the Nth record line of every download pass is answered "ERROR"
        bool directOnly = false; // answers no gateway form: a device without a gateway in front
        QByteArray bootText;     // the boot-information reply; empty: the usual one
        int rowEvery = 0;        // records to a flash row; 0: no rows
    };

    // The most data bytes the device holds, as a real part's flash would bound it, and the most
    // separate runs of them: scattered one-byte records would otherwise cost about a hundred
    // bytes of memory each.
    static constexpr qsizetype MaxImageBytes = 16 * 1024 * 1024;
    static constexpr qsizetype MaxImageRuns = 65536;
    // A client silent this long no longer holds the device in the middle of a pass.
    static constexpr qint64 OwnerTimeoutMs = 30000;
    static constexpr QByteArrayView Version = "2.10";

    DeviceModel() : DeviceModel(Settings{}) {}
    explicit DeviceModel(Settings settings) : m_settings(std::move(settings)) {}

    // The reply to one datagram from `client` (any text naming its endpoint) at `nowMs`; nothing
    // when it is a gateway form for another device, a malformed gateway form, or itself a reply
    // (two devices, or a device and anything else that answers, would answer each other for ever).
    [[nodiscard]] std::optional<QByteArray> handle(QByteArrayView datagram, const QByteArray& client = {},
                                                   qint64 nowMs = 0);
    // True when `body` (without its line end) is one of the replies above.
    [[nodiscard]] static bool isReply(QByteArrayView body);

    // True once after each completed download pass, for whoever saves the image.
    [[nodiscard]] bool takeDownloadCompleted();
    // The work of the last datagram handled.
    [[nodiscard]] Work lastWork() const { return m_lastWork; }

    // The image kept: the last completed download (empty while a download is under way).
    [[nodiscard]] const HexImage& image() const { return m_image; }
    [[nodiscard]] Phase phase() const { return m_phase; }
    [[nodiscard]] int address() const { return m_settings.address; }

private:
    [[nodiscard]] QByteArray command(QByteArrayView body, const QByteArray& client, qint64 nowMs);
    [[nodiscard]] QByteArray record(QByteArrayView body, const QByteArray& client, qint64 nowMs);
    // Another client than the one in the middle of a pass.
    [[nodiscard]] bool busyFor(const QByteArray& client, qint64 nowMs) const;
    [[nodiscard]] QByteArray bootInformation(const QByteArray& client, qint64 nowMs);
    [[nodiscard]] QByteArray downloadRecord(QByteArrayView record);
    [[nodiscard]] QByteArray verifyRecord(QByteArrayView record);
    [[nodiscard]] QByteArray status() const;
    [[nodiscard]] bool imageFull(const HexRecord& r) const;
    void abandonPass();
    void startDownloadPass();

    Settings m_settings;
    Phase m_phase = Phase::Idle;
    HexImage m_image;          // the image kept
    bool m_imageKept = false;  // ... because a download pass completed since the last erase
    int m_imageRecords = 0;    // ... of that many records
    HexImage m_loading;        // the image of the download pass under way
    QByteArray m_owner;        // the client of the pass under way
    bool m_ownerHolds = false; // ... and it was not told ERROR last
    qint64 m_ownerSeenMs = 0;
    HexCursor m_loadCursor;
    HexCursor m_verifyCursor;
    int m_passLine = 0;
    QByteArray m_lastRecord; // the last record this download pass stored
    int m_recordsStored = 0; // ... by this download pass
    Work m_lastWork = Work::None;
    bool m_completed = false;
};
