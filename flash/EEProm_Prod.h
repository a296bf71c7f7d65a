// The product configuration: the product information record (pack id 1) and
// the network command table (pack id 2) in the product parameter sector.
// Call F_InitEEProm first. No lock: one thread at a time, as for all flash use.
#pragma once

// Loads give 1, with the defaults when a record is absent or empty.
int F_LoadCnf_Product(int useDefaults);
int F_LoadCnf_Product_Info(int useDefaults);
int F_LoadCnf_Product_ConfigIP(int useDefaults);

// Erases the sector, then saves both records: 0 or a negative code (-3 when
// the erase fails; -2 when the chip has no product sector).
int F_SaveCnf_Product();
// Appends one record, obsoleting the previous one: 0 or a negative store code;
// -5 (nothing written, the old record intact) when the sector is full.
int F_SaveCnf_Product_Info();
int F_SaveCnf_Product_ConfigIP();
