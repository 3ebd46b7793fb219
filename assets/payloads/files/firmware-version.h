/* Firmware version of the loader these payloads were built for. */
#pragma once

#define FIRMWARE_VERSION_MAJOR 2
#define FIRMWARE_VERSION_MINOR 9
#define FIRMWARE_VERSION_BUILD 10543
#define FIRMWARE_VERSION_TEXT "2.9.10543"
