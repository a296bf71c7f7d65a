// Messages to the instrument's two peers: the application server ("firmware")
// and the loader service ("loader"). Every message names an upload's temporary
// file; a peer answers only once it has read that file.
#pragma once

// True when name can go into a message: no '&', '=' or ':' (each would end
// or add a key of the peer's message) and no byte below 0x20.
bool channel_name_fits(const char* name);

// Text messages, sent with their terminator; reply buffer 1024 bytes, not read.
// Result: 0 accepted (status 4), 103 the exchange failed (MsgSend gave -1),
// 106 any other status, nobody serving the name, or a text too long to send.
int channel_send_udp_conf(char udpPort, const char* baseName, const char* tmpPath);  // "firmware"
int channel_send_restore_settings(const char* tmpPath);                              // "firmware"
int channel_send_restore_models(const char* tmpPath);                                // "loader"

// DSP image message to "loader": int32 command (3 DSP loader, 4 DSP firmware)
// in native byte order, then "tmpPath,baseName" without terminator.
// Result: 0 accepted (status 3 or 4, result word 0), -1 refused (status 1) or
// nobody serving the name, -2 anything else or a message too long to send.
int channel_send_dsp_image(int command, const char* tmpPath, const char* baseName);
