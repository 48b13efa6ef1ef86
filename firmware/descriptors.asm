; The USB descriptors that the core sends from RAM (SUDPTR) or the firmware copies to IN0BUF.

        .module descriptors
        .globl  _device_descriptor
        .globl  _configuration_descriptor
        .globl  _string_descriptor_0
        .globl  _string_descriptor_1
        .globl  _string_descriptor_2

BULK      = 2
INTERRUPT = 3
PACKET    = 64

        .area   CSEG    (CODE)

        .bndry  2
_device_descriptor:
        .db     18, 1           ; length, DEVICE
        .db     0x10, 0x01      ; USB 1.1
        .db     0, 0, 0         ; class, subclass, protocol: given by the interface
        .db     PACKET          ; EP0 packet size
        .db     0x47, 0x05      ; vendor 0x0547
        .db     0x31, 0x21      ; product 0x2131
        .db     0x01, 0x00      ; device release 0x0001
        .db     1, 2, 0         ; manufacturer, product, no serial number
        .db     1               ; configurations

        .bndry  2
_configuration_descriptor:
        .db     9, 2            ; length, CONFIGURATION
        .db     9 + 9 + 8 * 7, 0 ; total length
        .db     1, 1, 0         ; interfaces, this configuration's value, no string
        .db     0xA0            ; bus-powered, remote wake-up
        .db     0xFA            ; 500 mA
        .db     9, 4            ; length, INTERFACE
        .db     0, 0, 8         ; number, alternate setting, endpoints
        .db     0xFF, 0, 0, 0   ; vendor class, subclass, protocol, no string
        ; the endpoints in the order that gives the host driver's pipe numbers 0..7
        .db     7, 5, 0x01, BULK, PACKET, 0, 0
        .db     7, 5, 0x02, BULK, PACKET, 0, 0
        .db     7, 5, 0x04, BULK, PACKET, 0, 0
        .db     7, 5, 0x06, BULK, PACKET, 0, 0
        .db     7, 5, 0x81, INTERRUPT, PACKET, 0, 1
        .db     7, 5, 0x82, BULK, PACKET, 0, 0
        .db     7, 5, 0x84, BULK, PACKET, 0, 0
        .db     7, 5, 0x86, BULK, PACKET, 0, 0

        .bndry  2
_string_descriptor_0:
        .db     4, 3, 0x09, 0x04        ; English (United States)
_string_descriptor_1:
        .db     16, 3
        .db     'U, 0, 'S, 0, 'B, 0, '_, 0, 'S, 0, 'P, 0, 'I, 0
_string_descriptor_2:
        .db     10, 3
        .db     'V, 0, '0, 0, '1, 0, '0, 0
