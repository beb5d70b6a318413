// Driving DTR and RTS on a port's device, shared by SioDTR, SioRTS and the
// line settings that raise the lines again after applying a new line state.
#ifndef VELK_MODEM_LINE_DRIVE_H
#define VELK_MODEM_LINE_DRIVE_H

#include "port/port_table.h"

namespace velk {

// Raises or lowers DTR or RTS (func is SETDTR, CLRDTR, SETRTS or CLRRTS) and
// returns the success flag. The escape function first; when the driver
// refuses it as a request it does not support (requestNotSupported) and the
// line's control mode is enable or disable, the mode in the port's record is
// set to enable or disable as asked and the record applied, and its success
// flag is returned. The record thus keeps telling how the line stands, and a
// later apply of the whole record keeps the line where the caller put it.
// When that apply fails the mode goes back as it was: the device did not
// change. Under handshaking or toggling the driver owns the line and its
// refusal stands.
BOOL driveOutputLine(PortSlot& slot, DWORD func);

}  // namespace velk

#endif  // VELK_MODEM_LINE_DRIVE_H
