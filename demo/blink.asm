; Demo firmware for the bootloader tool: blinks an LED on RJ0 of a PIC18F97J60
; (the Ethernet PIC family) and counts the blinks on PORTD.
; Build: gpasm -a inhx32 -o blink.hex blink.asm

        list    p=18f97j60
        include <p18f97j60.inc>
        errorlevel -302                 ; access-bank registers need no bank select

        cblock  0x000
            count
            delay1
            delay2
        endc

; The bootloader keeps the low vectors; the application starts above it.
        org     0x1000
start:
        clrf    count, ACCESS
        clrf    TRISD, ACCESS           ; PORTD: blink counter
        bcf     TRISJ, 0, ACCESS        ; RJ0: LED
main_loop:
        btg     LATJ, 0, ACCESS
        incf    count, F, ACCESS
        movff   count, LATD
        rcall   wait
        bra     main_loop

; About 200 ms at 25 MHz, good enough to see.
wait:
        movlw   0xFF
        movwf   delay1, ACCESS
wait_outer:
        movlw   0xFF
        movwf   delay2, ACCESS
wait_inner:
        nop
        decfsz  delay2, F, ACCESS
        bra     wait_inner
        decfsz  delay1, F, ACCESS
        bra     wait_outer
        return

; A short table, so the image spans more than one record.
        org     0x1100
banner:
        db      "VELTA demo firmware", 0
        db      0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08

        end
