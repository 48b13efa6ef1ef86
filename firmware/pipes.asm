; The JTAG pipes. EP2 OUT: byte mode without answers. EP4 OUT: byte mode, one answer byte per
; byte. EP6 OUT: one TCK clock per byte, one answer byte per byte. All answers leave on EP2 IN,
; one IN packet for each OUT packet, in the order of the OUT packets.
;
; Byte mode shifts eight TCK clocks per byte, TDI least significant bit first, TMS held at the
; level of the last per-clock byte; on EP4 the answer holds the eight TDO levels, the first in
; bit 0. A per-clock byte drives TDI from bit 5, TMS from bit 2 and TCK from bit 1, then raises
; TCK; its answer is port C as read before the rise (TDO bit 0, target power bit 3).
;
; Pins: TCK PC1, TMS PC2, TDI PA5, TDO PC0, target power PC3. TCK rests high.

        .module pipes
        .globl  _pipe_loop
        .globl  _delay_ms

MPAGE   = 0x92          ; high address byte of MOVX @Ri
PORTS_H = 0x7F          ; page of the port registers
OUTA_L  = 0x96
PINSC_L = 0x9B
OUTC    = 0x7F98
IN2CS   = 0x7FB8
IN2BC   = 0x7FB9
OUT1CS  = 0x7FC6
OUT2CS  = 0x7FC8
OUT4CS  = 0x7FCC
OUT6CS  = 0x7FD0
IN2BUF_H  = 0x7E        ; IN2BUF 0x7E00
OUT2BUF_H = 0x7D        ; OUTnBUF = page:0xC0
OUT4BUF_H = 0x7C
OUT6BUF_H = 0x7B
OUTBUF_L  = 0xC0

TCK     = 0x02
TMS     = 0x04
MAXPKT  = 64

        .area   DSEG    (DATA)
tms_low:
        .ds     1       ; port C during TCK low in byte mode: the last per-clock TMS
answers:
        .ds     1       ; bytes in BUF to answer with

        .area   ISEG    (DATA)
BUF:
        .ds     MAXPKT  ; the packet being shifted, reached through @Ri (the stack follows)

        .area   CSEG    (CODE)

; Never returns. EP2 OUT goes first: the host sends it without waiting for answers, so its
; packets were accepted before any later packet on the answered pipes. Those two need no
; order between them: the host waits for one exchange's answers before it sends the next.
_pipe_loop:
        mov     tms_low,#TMS    ; start-up left TMS high
poll:
        mov     dptr,#OUT2CS
        movx    a,@dptr
        jnb     acc.1,ep2
        mov     dptr,#OUT4CS
        movx    a,@dptr
        jnb     acc.1,ep4
        mov     dptr,#OUT6CS
        movx    a,@dptr
        jnb     acc.1,ep6
        mov     dptr,#OUT1CS
        movx    a,@dptr
        jb      acc.1,poll
        inc     dptr            ; EP1 OUT carries nothing: drop the packet, re-arm
        movx    @dptr,a
        sjmp    poll

ep2:
        mov     MPAGE,#OUT2BUF_H
        lcall   take_packet
        jz      poll
        lcall   shift_out
        sjmp    poll
ep4:
        mov     MPAGE,#OUT4BUF_H
        lcall   take_packet
        jz      poll
        mov     answers,a
        lcall   shift_in
        lcall   send_answers
        sjmp    poll
ep6:
        mov     MPAGE,#OUT6BUF_H
        lcall   take_packet
        jz      poll
        mov     answers,a
        lcall   clock_bytes
        lcall   send_answers
        sjmp    poll

; In: dptr = OUTnCS, MPAGE = page of OUTnBUF. Copies the packet into BUF and hands the
; endpoint back to the core at once, so that the next packet lands while this one is shifted.
; Out: A = R7 = byte count (0 for an empty packet).
take_packet:
        inc     dptr            ; OUTnBC
        movx    a,@dptr
        mov     r7,a
        add     a,#(0x100 - MAXPKT - 1)
        jnc     tp_take
        mov     r7,#0           ; longer than a packet: the core never reports that
tp_arm:
        movx    @dptr,a         ; any write arms the endpoint again
        mov     a,r7
        ret
tp_take:
        mov     a,r7
        jz      tp_arm
        push    dph
        push    dpl
        mov     r0,#OUTBUF_L
        mov     r1,#BUF
        mov     a,#MAXPKT       ; enter the unrolled copy MAXPKT - count steps in
        clr     c
        subb    a,r7
        rl      a
        rl      a
        mov     dptr,#tp_copy
        jmp     @a+dptr
tp_copy:
        .rept   MAXPKT
        movx    a,@r0
        inc     r0
        mov     @r1,a
        inc     r1
        .endm
        pop     dpl
        pop     dph
        movx    @dptr,a
        mov     a,r7
        ret

; Port pointers for the shifts: @R1 = OUTA, DPTR = OUTC.
        .macro  PORTS
        mov     MPAGE,#PORTS_H
        mov     r1,#OUTA_L
        mov     dptr,#OUTC
        .endm

; One byte-mode bit without answer, TDI in bit 5 of A. The low and high levels of port C
; swap registers from one bit to the next (even: R2 low, R3 high; odd: the reverse), so that
; a bit costs three port writes and four register moves.
        .macro  OUTBIT_EVEN
        movx    @r1,a           ; TDI
        rr      a
        xch     a,r2            ; A = low, R2 = next TDI
        movx    @dptr,a         ; TCK falls
        xch     a,r3            ; A = high, R3 = low
        movx    @dptr,a         ; TCK rises: the target takes TDI and TMS
        xch     a,r2            ; A = next TDI, R2 = high
        .endm
        .macro  OUTBIT_ODD
        movx    @r1,a
        rr      a
        xch     a,r3
        movx    @dptr,a
        xch     a,r2
        movx    @dptr,a
        xch     a,r3
        .endm

; One byte without answer from @R0, in even roles, leaving even roles.
        .macro  OUTBYTE
        mov     a,@r0
        inc     r0
        swap    a
        rl      a               ; bit 0 goes first: to the TDI position
        OUTBIT_EVEN
        OUTBIT_ODD
        OUTBIT_EVEN
        OUTBIT_ODD
        OUTBIT_EVEN
        OUTBIT_ODD
        OUTBIT_EVEN
        movx    @r1,a           ; bit 7, odd roles, nothing after it
        xch     a,r3
        movx    @dptr,a
        xch     a,r2
        movx    @dptr,a
        mov     r3,a            ; back to even roles
        .endm

; In: R7 = count (1..64) bytes in BUF. Two bytes a turn; an odd count starts in the second.
shift_out:
        PORTS
        mov     r0,#BUF
        mov     a,tms_low
        mov     r2,a
        orl     a,#TCK
        mov     r3,a
        mov     a,r7
        clr     c
        rrc     a
        mov     r7,a            ; turns
        jnc     so_first
        inc     r7
        sjmp    so_second
so_first:
        OUTBYTE
so_second:
        OUTBYTE
        djnz    r7,so_first
        ret

; One byte-mode bit with answer: TDI in bit 5 of A, R0 = PINSC, the TDO level goes to B.k.
        .macro  INBIT k
        movx    @r1,a           ; TDI
        rr      a
        mov     r5,a
        mov     a,r2
        movx    @dptr,a         ; TCK falls: TDO shows this bit
        movx    a,@r0
        rrc     a
        mov     0xF0+k,c
        mov     a,r3
        movx    @dptr,a         ; TCK rises
        mov     a,r5
        .endm

; In: R7 = count (1..64) bytes in BUF. The answers replace them.
shift_in:
        PORTS
        mov     r6,#BUF
        mov     a,tms_low
        mov     r2,a
        orl     a,#TCK
        mov     r3,a
si_byte:
        mov     a,r6
        mov     r0,a
        mov     a,@r0
        swap    a
        rl      a
        mov     r0,#PINSC_L
        INBIT   0
        INBIT   1
        INBIT   2
        INBIT   3
        INBIT   4
        INBIT   5
        INBIT   6
        movx    @r1,a           ; bit 7: no next TDI to keep
        mov     a,r2
        movx    @dptr,a
        movx    a,@r0
        rrc     a
        mov     0xF7,c
        mov     a,r3
        movx    @dptr,a
        mov     a,r6
        mov     r0,a
        mov     @r0,b
        inc     r6
        djnz    r7,si_byte
        ret

; In: R7 = count (1..64) per-clock bytes in BUF. The answers replace them.
clock_bytes:
        PORTS
        mov     r0,#BUF
cb_byte:
        mov     a,@r0
        mov     r2,a
        movx    @r1,a           ; TDI from bit 5
        movx    @dptr,a         ; TMS from bit 2, TCK from bit 1 (0: it falls)
        mov     r1,#PINSC_L
        movx    a,@r1           ; TDO and target power, before the rise
        mov     @r0,a
        mov     r1,#OUTA_L
        mov     a,r2
        orl     a,#TCK
        movx    @dptr,a         ; TCK rises (no edge when the byte had it high)
        inc     r0
        djnz    r7,cb_byte
        mov     a,r2
        anl     a,#TMS
        mov     tms_low,a       ; byte mode keeps this TMS level
        ret

; In: `answers` = count (1..64) of answers in BUF. Waits until the host has taken the previous
; answer packet, then sends these as one packet on EP2 IN.
send_answers:
        mov     r7,answers
        mov     dptr,#IN2CS
sa_wait:
        movx    a,@dptr
        jb      acc.1,sa_wait
        mov     MPAGE,#IN2BUF_H
        mov     r0,#BUF
        mov     r1,#0
        mov     a,#MAXPKT
        clr     c
        subb    a,r7
        rl      a
        rl      a
        mov     dptr,#sa_copy
        jmp     @a+dptr
sa_copy:
        .rept   MAXPKT
        mov     a,@r0
        inc     r0
        movx    @r1,a
        inc     r1
        .endm
        mov     dptr,#IN2BC
        mov     a,r7
        movx    @dptr,a         ; the count hands the packet to the core
        ret

; delay_ms(unsigned int ms): busy wait of ms milliseconds at 6 M machine cycles a second.
_delay_ms:
        mov     r6,dpl
        mov     r7,dph
dm_next:
        mov     a,r6
        orl     a,r7
        jz      dm_done
        mov     r5,#8           ; 8 x 749 cycles and the loop around them: 6004 cycles
dm_outer:
        mov     r4,#248
dm_inner:
        djnz    r4,dm_inner
        djnz    r5,dm_outer
        dec     r6
        cjne    r6,#0xFF,dm_next
        dec     r7
        sjmp    dm_next
dm_done:
        ret
