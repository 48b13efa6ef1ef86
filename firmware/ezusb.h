/* The AN21xx registers that this firmware uses: the 8051 core's extra SFRs and the USB core's
   register block, which sits in XDATA. */
#ifndef EZUSB_H
#define EZUSB_H

#define XREG(addr) (*(volatile __xdata unsigned char*)(addr))

/* Core SFRs beyond the classic 8051. */
__sfr __at(0x8E) CKCON; /* bits 2..0: MOVX stretch */
__sfr __at(0x91) EXIF;  /* bit 4: USB interrupt flag, cleared by writing 0 */
__sfr __at(0x92) _XPAGE; /* MPAGE: high address byte of MOVX @Ri (SDCC's pdata page) */
__sfr __at(0xE8) EIE;
__sbit __at(0xE8) EUSB;
__sbit __at(0xAF) EA;

#define EXIF_USBINT 0x10

/* Ports. */
#define PORTACFG XREG(0x7F93)
#define PORTCCFG XREG(0x7F95)
#define OUTA XREG(0x7F96)
#define OUTC XREG(0x7F98)
#define OEA XREG(0x7F9C)
#define OEC XREG(0x7F9E)

/* Interrupt requests and enables. */
#define IN07IRQ XREG(0x7FA9)
#define OUT07IRQ XREG(0x7FAA)
#define USBIRQ XREG(0x7FAB)
#define IN07IEN XREG(0x7FAC)
#define OUT07IEN XREG(0x7FAD)
#define USBIEN XREG(0x7FAE)
#define USBBAV XREG(0x7FAF)
#define USBIRQ_SUDAV 0x01

/* Endpoint 0. */
#define EP0CS XREG(0x7FB4)
#define IN0BC XREG(0x7FB5)
#define IN0BUF ((volatile __xdata unsigned char*)0x7F00)
#define EP0CS_STALL 0x01
#define EP0CS_HSNAK 0x02
#define EP0CS_IN0BSY 0x04

/* Control/status register of endpoint n (1..7): bit 0 stall, bit 1 busy. */
#define INCS(n) XREG(0x7FB4 + 2 * (n))
#define OUTCS(n) XREG(0x7FC4 + 2 * (n))
#define OUTBC(n) XREG(0x7FC5 + 2 * (n))
#define EPCS_STALL 0x01

#define SUDPTRH XREG(0x7FD4)
#define SUDPTRL XREG(0x7FD5)
#define USBCS XREG(0x7FD6)
#define TOGCTL XREG(0x7FD7)
#define USBPAIR XREG(0x7FDD)
#define IN07VAL XREG(0x7FDE)
#define OUT07VAL XREG(0x7FDF)
#define SETUPDAT ((volatile __xdata unsigned char*)0x7FE8)

#define USBCS_RENUM 0x02
#define USBCS_DISCOE 0x04
#define USBCS_DISCON 0x08

#define TOGCTL_IN 0x10
#define TOGCTL_RESET 0x20

/* The adapter's wiring. */
#define PIN_TCK 0x02 /* PC1 */
#define PIN_TMS 0x04 /* PC2 */
#define PIN_TDI 0x20 /* PA5 */

#endif
