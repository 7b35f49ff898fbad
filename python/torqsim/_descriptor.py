"""The dashboard board's HID report descriptor.

One application collection, no report IDs. Input report (byte 0 is the report-ID byte,
always 0): bytes 1-4 the 32 buttons, then switches 1-6 as 8-bit values each followed by
a padding byte (bytes 5-16), switch 8 and switch 7 as signed 16-bit values (bytes
17-18 and 19-20), switch 9 as an 8-bit value (byte 21): 22 bytes. Output report: 53
vendor-defined bytes, 54 with the report-ID byte. No feature report.
"""

# Every chunk ends in a space so the pieces join into one hex string.
BOARD_DESCRIPTOR = bytes.fromhex(
    "05 01 09 04 a1 01 "        # Generic Desktop / Joystick, Collection (Application)
    # Bytes 1-4: buttons 1-32, one bit each.
    "05 09 19 01 29 20 "        # Usage Page (Button), Usage Minimum 1, Usage Maximum 32
    "15 00 25 01 75 01 95 20 "  # Logical 0..1, Report Size 1, Report Count 32
    "81 02 "                    # Input (Data, Variable, Absolute)
    # Bytes 5-16: switches 1-6 (8-bit, unsigned), each followed by a padding byte.
    "05 01 15 00 26 ff 00 "     # Usage Page (Generic Desktop), Logical 0..255
    "75 08 95 01 "              # Report Size 8, Report Count 1
    "09 30 81 02 81 03 "        # switch 1: X, then Input (Constant) padding
    "09 31 81 02 81 03 "        # switch 2: Y
    "09 32 81 02 81 03 "        # switch 3: Z
    "09 33 81 02 81 03 "        # switch 4: Rx
    "09 34 81 02 81 03 "        # switch 5: Ry
    "09 35 81 02 81 03 "        # switch 6: Rz
    # Bytes 17-20: switch 8 then switch 7, signed 16-bit.
    "16 00 80 26 ff 7f 75 10 "  # Logical -32768..32767, Report Size 16
    "09 37 81 02 "              # switch 8: Dial (bytes 17-18)
    "09 36 81 02 "              # switch 7: Slider (bytes 19-20)
    # Byte 21: switch 9, 8-bit unsigned.
    "15 00 26 ff 00 75 08 "     # Logical 0..255, Report Size 8
    "09 38 81 02 "              # switch 9: Wheel
    # Output: 53 vendor-defined bytes.
    "06 00 ff 09 01 "           # Usage Page (0xFF00), Usage 1
    "95 35 91 02 "              # Report Count 53, Output (Data, Variable, Absolute)
    "c0"                        # End Collection
)
