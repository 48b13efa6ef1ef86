/* The adapter's firmware: start-up, renumeration and the control endpoint. The JTAG pipes are
   served by pipes.asm. */
#include "ezusb.h"

/* Disconnected time when the firmware renumerates: long enough for every hub to notice, and
   within the 1.5 s that the host waits after it has started the firmware. */
#define DISCONNECT_MS 1000

/* Endpoints of the interface, bit n = endpoint n (0, 1, 2, 4 and 6, in both directions). */
#define ENDPOINTS 0x57

#define GET_STATUS 0
#define CLEAR_FEATURE 1
#define SET_FEATURE 3
#define GET_DESCRIPTOR 6
#define GET_CONFIGURATION 8
#define SET_CONFIGURATION 9
#define GET_INTERFACE 10
#define SET_INTERFACE 11

#define DESCRIPTOR_DEVICE 1
#define DESCRIPTOR_CONFIGURATION 2
#define DESCRIPTOR_STRING 3

#define FEATURE_ENDPOINT_HALT 0
#define FEATURE_REMOTE_WAKEUP 1

#define RECIPIENT_DEVICE 0
#define RECIPIENT_INTERFACE 1
#define RECIPIENT_ENDPOINT 2

extern __code unsigned char device_descriptor[];
extern __code unsigned char configuration_descriptor[];
extern __code unsigned char string_descriptor_0[];
extern __code unsigned char string_descriptor_1[];
extern __code unsigned char string_descriptor_2[];

void pipe_loop(void);           /* never returns */
void delay_ms(unsigned int ms); /* busy wait, counted in machine cycles */

#define STRING_COUNT 3
static __code unsigned char* __code strings[STRING_COUNT] = {
    string_descriptor_0, string_descriptor_1, string_descriptor_2};
static __code unsigned char endpoint_bit[8] = {0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40, 0x80};

static unsigned char configuration;
static unsigned char remote_wakeup;

/* The control/status register of a declared endpoint (address with direction bit), or 0. */
static volatile __xdata unsigned char* endpoint_cs(unsigned char address) {
    unsigned char n = address & 0x0F;
    if ((address & 0x70) != 0 || n > 7 || (ENDPOINTS & endpoint_bit[n]) == 0) {
        return 0;
    }
    if (n == 0) {
        return &EP0CS;
    }
    return (address & 0x80) ? &INCS(n) : &OUTCS(n);
}

static void reset_toggle(unsigned char address) {
    unsigned char value = (address & 0x0F) | ((address & 0x80) ? TOGCTL_IN : 0);
    TOGCTL = value;
    TOGCTL = value | TOGCTL_RESET;
}

static void reset_all_toggles(void) {
    unsigned char n;
    for (n = 1; n < 8; ++n) {
        if (ENDPOINTS & endpoint_bit[n]) {
            reset_toggle(n);
            reset_toggle(n | 0x80);
        }
    }
}

/* Strings go through IN0BUF by hand: some core revisions send a wrong length for strings
   served through SUDPTR. Ours are shorter than one packet. */
static unsigned char send_string(unsigned char index) {
    __code unsigned char* s;
    unsigned char n;
    unsigned char i;
    if (index >= STRING_COUNT) {
        return 0;
    }
    s = strings[index];
    n = s[0];
    if (SETUPDAT[7] == 0 && SETUPDAT[6] < n) {
        n = SETUPDAT[6];
    }
    for (i = 0; i < n; ++i) {
        IN0BUF[i] = s[i];
    }
    IN0BC = n;
    return 1;
}

static unsigned char get_descriptor(void) {
    unsigned int address;
    switch (SETUPDAT[3]) {
    case DESCRIPTOR_DEVICE:
        address = (unsigned int)device_descriptor;
        break;
    case DESCRIPTOR_CONFIGURATION:
        if (SETUPDAT[2] != 0) {
            return 0;
        }
        address = (unsigned int)configuration_descriptor;
        break;
    case DESCRIPTOR_STRING:
        return send_string(SETUPDAT[2]);
    default:
        return 0;
    }
    /* The core sends the descriptor from RAM, as long as the host asked for. */
    SUDPTRH = address >> 8;
    SUDPTRL = address & 0xFF;
    return 1;
}

static unsigned char get_status(unsigned char type) {
    volatile __xdata unsigned char* cs;
    switch (type & 0x1F) {
    case RECIPIENT_DEVICE:
        IN0BUF[0] = remote_wakeup ? 0x02 : 0x00; /* bus-powered */
        break;
    case RECIPIENT_INTERFACE:
        if (SETUPDAT[4] != 0) {
            return 0;
        }
        IN0BUF[0] = 0;
        break;
    case RECIPIENT_ENDPOINT:
        cs = endpoint_cs(SETUPDAT[4]);
        if (cs == 0) {
            return 0;
        }
        IN0BUF[0] = *cs & EPCS_STALL;
        break;
    default:
        return 0;
    }
    IN0BUF[1] = 0;
    IN0BC = 2;
    return 1;
}

static unsigned char set_feature(unsigned char type, unsigned char set) {
    volatile __xdata unsigned char* cs;
    unsigned char address = SETUPDAT[4];
    if ((type & 0x1F) == RECIPIENT_DEVICE && SETUPDAT[2] == FEATURE_REMOTE_WAKEUP) {
        remote_wakeup = set;
        return 1;
    }
    if ((type & 0x1F) != RECIPIENT_ENDPOINT || SETUPDAT[2] != FEATURE_ENDPOINT_HALT) {
        return 0;
    }
    cs = endpoint_cs(address);
    if (cs == 0) {
        return 0;
    }
    if ((address & 0x0F) == 0) {
        return 1; /* the control endpoint does not halt */
    }
    if (set) {
        *cs |= EPCS_STALL;
    } else {
        *cs &= ~EPCS_STALL;
        reset_toggle(address);
    }
    return 1;
}

static unsigned char standard_request(void) {
    unsigned char type = SETUPDAT[0];
    if ((type & 0x60) != 0) {
        return 0; /* no class or vendor requests of our own */
    }
    switch (SETUPDAT[1]) {
    case GET_DESCRIPTOR:
        return get_descriptor();
    case GET_STATUS:
        return get_status(type);
    case CLEAR_FEATURE:
        return set_feature(type, 0);
    case SET_FEATURE:
        return set_feature(type, 1);
    case GET_CONFIGURATION:
        IN0BUF[0] = configuration;
        IN0BC = 1;
        return 1;
    case SET_CONFIGURATION:
        if (SETUPDAT[2] > 1) {
            return 0;
        }
        configuration = SETUPDAT[2];
        reset_all_toggles();
        return 1;
    case GET_INTERFACE:
        if (SETUPDAT[4] != 0) {
            return 0;
        }
        IN0BUF[0] = 0;
        IN0BC = 1;
        return 1;
    case SET_INTERFACE:
        if (SETUPDAT[4] != 0 || SETUPDAT[2] != 0) {
            return 0;
        }
        reset_all_toggles();
        return 1;
    default:
        return 0;
    }
}

/* SETUP data available: the whole control request is served here, so that the host gets its
   answer even while the main loop is busy shifting. */
void usb_isr(void) __interrupt(8) {
    EXIF &= ~EXIF_USBINT;
    USBIRQ = USBIRQ_SUDAV;
    /* Clearing HSNAK ends the status stage; a stall refuses the request. */
    EP0CS = standard_request() ? EP0CS_HSNAK : (EP0CS_HSNAK | EP0CS_STALL);
}

void main(void) {
    CKCON &= ~0x07; /* no MOVX stretch: the shift loops are made of port writes */

    /* JTAG lines idle high (TCK rests high); TDO and the target's power are inputs. */
    PORTACFG = 0;
    PORTCCFG = 0;
    OUTA = PIN_TDI;
    OUTC = PIN_TCK | PIN_TMS;
    OEA = PIN_TDI;
    OEC = PIN_TCK | PIN_TMS;

    USBPAIR = 0;
    IN07VAL = ENDPOINTS;
    OUT07VAL = ENDPOINTS;

    /* Leave the bus as the core's default device and come back with our own descriptors. */
    USBCS = USBCS_RENUM | USBCS_DISCON;
    delay_ms(DISCONNECT_MS);
    USBIRQ = 0xFF;
    IN07IRQ = 0xFF;
    OUT07IRQ = 0xFF;
    EXIF &= ~EXIF_USBINT;
    OUTBC(1) = 0; /* any write arms an OUT endpoint */
    OUTBC(2) = 0;
    OUTBC(4) = 0;
    OUTBC(6) = 0;
    USBBAV = 0;
    IN07IEN = 0;
    OUT07IEN = 0;
    USBIEN = USBIRQ_SUDAV;
    EUSB = 1;
    EA = 1;
    USBCS = USBCS_RENUM | USBCS_DISCOE;

    pipe_loop();
}
