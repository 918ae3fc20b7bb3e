#pragma once

#include <QtGlobal>

// The bootloader's conversation word for word: the commands the host sends, the gateway forms
// that carry them, the replies the device gives, and the defaults both sides start from.
// Everything that speaks the protocol takes its words and numbers from here.
namespace Protocol {

constexpr quint16 DevicePort = 111; // the bootloader's UDP port
constexpr int GatewayAddress = 16;  // the device a gateway forwards to unless told another
constexpr int MaxLines = 9000;      // the lines a load may hold

inline constexpr char LineEnd[] = "\r\n"; // after every command line

// Commands, each sent as one line.
namespace Command {
inline constexpr char BootInfo[] = "OOTi";   // boot-information request
inline constexpr char Start[] = "OOTg";      // start the loaded program
inline constexpr char SetAddress[] = "OOT$"; // followed by two hexadecimal digits
inline constexpr char Record[] = "OOT";      // followed by a HEX record line
inline constexpr char Status[] = "STATUS";
inline constexpr char Version[] = "VER";
inline constexpr char UartOn[] = "UART 2,7";
} // namespace Command

// A record starts with ':' in the download pass; the verify pass sends every ':' as '#'.
constexpr char DownloadMark = ':';
constexpr char VerifyMark = '#';

// The gateway's forms: "MDB <addr>,<line>" for bootloader commands and file lines,
// "MDC <addr>,"<line>"" for console commands.
inline constexpr char BootloaderForm[] = "MDB ";
inline constexpr char ConsoleForm[] = "MDC ";

// Replies, each one datagram ending in LineEnd.
namespace Reply {
inline constexpr char Ok[] = "OK";             // a record taken
inline constexpr char Download[] = "DOWNLOAD"; // the end-of-file record taken: the pass is over
inline constexpr char Error[] = "ERROR";       // refused; the reason may follow after a blank
inline constexpr char VersionField[] = "VER="; // in the boot information and the version reply
inline constexpr char BootInfo[] = "VELTA BOOT";
inline constexpr char Unknown[] = "UNKNOWN COMMAND";
inline constexpr char AddressSet[] = "ADDR SET";
inline constexpr char BadAddress[] = "BAD ADDRESS";
inline constexpr char Started[] = "START";
inline constexpr char UartOn[] = "UART 2,7 ON";
inline constexpr char Status[] = "STATUS "; // the reply: the word, a blank, the state
} // namespace Reply

// The flasher's waits and resends where its options do not say otherwise.
namespace Defaults {
constexpr int TimeoutMs = 3000;
constexpr int FirstTimeoutMs = 10000; // the first record: the device may erase its flash first
constexpr int Retries = 3;
} // namespace Defaults

} // namespace Protocol
