#!/usr/bin/env python3
"""Writes resources/sample.hex: the example program that SORBEL downloads in its demo.

The image is a small 8051-style program assembled here: reset and interrupt vectors, start-up
code that sets up the stack and the UART, a main loop that prints messages and blinks a port
pin, a few dozen application routines, a table of message strings and a sine lookup table.
Output: Intel HEX, 16 data bytes per record, CR LF line ends, ending in the end record; every
byte lies below 0xF800, where the target's loader lives.

Usage: python3 scripts/make_sample_hex.py [OUTPUT]   (default: resources/sample.hex)
"""
import math
import os
import random
import sys

RECORD_BYTES = 16
LOADER_START = 0xF800


class Assembler:
    """Just enough of an 8051 assembler: bytes, labels, absolute and relative fix-ups."""

    def __init__(self):
        self.image = {}  # address -> byte
        self.pc = 0
        self.labels = {}
        self.fixups = []  # (address, label, kind, origin)

    def org(self, address):
        self.pc = address

    def label(self, name):
        if name in self.labels:
            raise ValueError(f"label {name} defined twice")
        self.labels[name] = self.pc

    def emit(self, *values):
        for value in values:
            if self.pc in self.image:
                raise ValueError(f"address 0x{self.pc:04x} written twice")
            self.image[self.pc] = value & 0xFF
            self.pc += 1

    def abs16(self, opcode, label):
        self.emit(opcode)
        self.fixups.append((self.pc, label, "abs16", 0))
        self.emit(0, 0)

    def rel(self, *prefix_and_label):
        *prefix, label = prefix_and_label
        self.emit(*prefix)
        self.fixups.append((self.pc, label, "rel", self.pc + 1))
        self.emit(0)

    def ljmp(self, label):
        self.abs16(0x02, label)

    def lcall(self, label):
        self.abs16(0x12, label)

    def mov_dptr(self, label):
        self.abs16(0x90, label)

    def resolve(self):
        for address, label, kind, origin in self.fixups:
            target = self.labels[label]
            if kind == "abs16":
                self.image[address] = target >> 8
                self.image[address + 1] = target & 0xFF
            else:
                offset = target - origin
                if not -128 <= offset <= 127:
                    raise ValueError(f"branch to {label} out of range")
                self.image[address] = offset & 0xFF


# Special function registers and bits of the 8051.
SP, TMOD, TH1, SCON, SBUF, IE, P1 = 0x81, 0x89, 0x8D, 0x98, 0x99, 0xA8, 0x90
TR1, TI, RI, EA, P1_0 = 0x8E, 0x99, 0x98, 0xAF, 0x90

MESSAGES = [
    "SORBEL demo firmware 1.0",
    "Hello from the target board.",
    "Flash programmed by SORBEL.",
    "LED on",
    "LED off",
    "Temperature: ",
    "Supply voltage: ",
    "Press the button to continue.",
    "Self test passed.",
    "Self test FAILED at 0x",
    "Watchdog reset detected.",
    "Entering low-power mode.",
    "Waking up.",
    "Checksum ok.",
    "Checksum mismatch.",
    "Unknown command.",
    "Ready> ",
]


def build():
    rng = random.Random(0x50B3E1)
    asm = Assembler()

    # Reset and interrupt vectors.
    asm.org(0x0000)
    asm.ljmp("start")
    for vector, handler in [(0x03, "int0"), (0x0B, "timer0"), (0x13, "int1"),
                            (0x1B, "timer1"), (0x23, "serial")]:
        asm.org(vector)
        asm.ljmp(handler)
    asm.org(0x0030)
    for name in ["int0", "int1", "timer1"]:
        asm.label(name)
        asm.emit(0x32)  # RETI
    asm.label("timer0")
    asm.emit(0xC0, 0xE0, 0xC0, 0xD0)  # PUSH ACC, PUSH PSW
    asm.emit(0x05, 0x30)  # INC 30h: tick counter
    asm.emit(0xD0, 0xD0, 0xD0, 0xE0)  # POP PSW, POP ACC
    asm.emit(0x32)
    asm.label("serial")
    asm.emit(0xC0, 0xE0)
    asm.rel(0x30, RI, "serial_done")  # JNB RI
    asm.emit(0xC2, RI, 0xE5, SBUF, 0xF5, 0x31)  # CLR RI, MOV A,SBUF, MOV 31h,A
    asm.label("serial_done")
    asm.emit(0xD0, 0xE0, 0x32)

    # Start-up and the main loop.
    asm.org(0x0100)
    asm.label("start")
    asm.emit(0x75, SP, 0x5F)  # MOV SP,#5Fh
    asm.emit(0x75, TMOD, 0x21)  # timer 1 auto-reload, timer 0 16-bit
    asm.emit(0x75, TH1, 0xFD)  # 9600 baud at 11.0592 MHz
    asm.emit(0xD2, TR1)  # SETB TR1
    asm.emit(0x75, SCON, 0x50)  # mode 1, receiver on
    asm.emit(0x75, IE, 0x92)  # EA, ES, ET0
    asm.mov_dptr("msg0")
    asm.lcall("puts")
    asm.lcall("self_test")
    asm.label("main_loop")
    asm.emit(0xB2, P1_0)  # CPL P1.0
    asm.mov_dptr("msg3")
    asm.lcall("puts")
    asm.lcall("delay")
    asm.emit(0xE5, 0x31)  # MOV A,31h: last received byte
    asm.rel(0x60, "main_loop")  # JZ
    asm.lcall("dispatch")
    asm.rel(0x80, "main_loop")  # SJMP

    asm.label("puts")
    asm.emit(0xE4, 0x93)  # CLR A, MOVC A,@A+DPTR
    asm.rel(0x60, "puts_done")
    asm.lcall("putc")
    asm.emit(0xA3)  # INC DPTR
    asm.rel(0x80, "puts")
    asm.label("puts_done")
    asm.emit(0x22)

    asm.label("putc")
    asm.label("putc_wait")
    asm.rel(0x30, TI, "putc_wait")  # JNB TI,$
    asm.emit(0xC2, TI, 0xF5, SBUF, 0x22)  # CLR TI, MOV SBUF,A, RET

    asm.label("delay")
    asm.emit(0x7F, 0xC8)  # MOV R7,#200
    asm.label("delay_outer")
    asm.emit(0x7E, 0xFA)  # MOV R6,#250
    asm.label("delay_inner")
    asm.rel(0xDE, "delay_inner")  # DJNZ R6
    asm.rel(0xDF, "delay_outer")  # DJNZ R7
    asm.emit(0x22)

    asm.label("self_test")
    asm.mov_dptr("sine")
    asm.emit(0x7F, 0x00, 0xE4)  # MOV R7,#0, CLR A
    asm.label("self_test_loop")
    asm.emit(0xC0, 0xE0, 0xE4, 0x93)  # PUSH ACC, CLR A, MOVC
    asm.emit(0xFE, 0xD0, 0xE0, 0x2E)  # MOV R6,A, POP ACC, ADD A,R6
    asm.emit(0xA3)
    asm.rel(0xDF, "self_test_loop")
    asm.mov_dptr("msg8")
    asm.lcall("puts")
    asm.emit(0x22)

    # Application routines: a little of everything an 8-bit program does.
    routines = [f"task{i}" for i in range(96)]
    asm.label("dispatch")
    asm.emit(0x54, 0x0F)  # ANL A,#0Fh
    for i in range(16):
        asm.emit(0xB4, i, 0x03)  # CJNE A,#i,+3
        asm.ljmp(routines[i])
    asm.mov_dptr("msg15")
    asm.ljmp("puts")

    for index, name in enumerate(routines):
        asm.label(name)
        for step in range(rng.randint(4, 9)):
            kind = rng.randrange(9)
            if kind == 0:
                asm.emit(0x74, rng.randrange(256))  # MOV A,#imm
                asm.emit(0x24, rng.randrange(256))  # ADD A,#imm
                asm.emit(0xF8 + rng.randrange(8))  # MOV Rn,A
            elif kind == 1:
                asm.emit(0x75, 0x32 + rng.randrange(16), rng.randrange(256))  # MOV dir,#imm
            elif kind == 2:
                asm.mov_dptr(f"msg{rng.randrange(len(MESSAGES))}")
                asm.lcall("puts")
            elif kind == 3 and index > 0:
                asm.lcall(routines[rng.randrange(index)])
            elif kind == 4:
                loop = f"{name}_loop{step}"
                asm.emit(0x78 + rng.randrange(8) % 6, rng.randint(2, 40))  # MOV Rn,#count
                asm.label(loop)
                asm.emit(0xE6, 0x24, rng.randrange(256), 0xF6, 0x08)  # MOV A,@R0 .. INC R0
                asm.rel(0xDF, loop)  # DJNZ R7
            elif kind == 5:
                skip = f"{name}_skip{step}"
                asm.emit(0xE5, 0x30 + rng.randrange(16))  # MOV A,dir
                asm.rel(0x70, skip)  # JNZ
                asm.emit(0xD2, 0x90 + rng.randrange(8))  # SETB P1.n
                asm.label(skip)
            elif kind == 6:
                asm.mov_dptr("sine")
                asm.emit(0x74, rng.randrange(64), 0x93)  # MOV A,#i, MOVC A,@A+DPTR
                asm.emit(0xF5, 0x40 + rng.randrange(16))  # MOV dir,A
            elif kind == 7:
                asm.emit(0x90, 0x80, rng.randrange(256), 0xE0)  # MOVX A,@DPTR (external RAM)
                asm.emit(0x44, 1 << rng.randrange(8), 0xF0)  # ORL A,#bit, MOVX @DPTR,A
            else:
                asm.emit(0xC3, 0xE5, 0x34, 0x94, rng.randrange(256))  # CLR C, SUBB
                asm.emit(0x50, 0x02, 0xC2, 0x91)  # JNC +2, CLR P1.1
        asm.emit(0x22)  # RET

    # Message strings, zero-terminated, on a fresh 256-byte boundary.
    asm.org((asm.pc + 0xFF) & ~0xFF)
    for i, text in enumerate(MESSAGES):
        asm.label(f"msg{i}")
        asm.emit(*text.encode("ascii"), 0)

    # A quarter-wave sine table for the self test and the tasks.
    asm.org((asm.pc + 0xFF) & ~0xFF)
    asm.label("sine")
    asm.emit(*[round(127 * math.sin(math.pi / 2 * i / 63)) + 128 for i in range(64)])

    asm.resolve()
    return asm.image


def record(address, data, kind=0):
    body = [len(data), address >> 8, address & 0xFF, kind, *data]
    checksum = (-sum(body)) & 0xFF
    return ":" + "".join(f"{b:02X}" for b in body) + f"{checksum:02X}\r\n"


def to_hex(image):
    top = max(image) + 1
    if top > LOADER_START:
        raise ValueError("the image reaches into the loader's area")
    lines = []
    # Whole 16-byte rows wherever any byte is used; unused bytes within a row read 0xFF,
    # as erased flash does.
    for row in range(0, top, RECORD_BYTES):
        if any(row + i in image for i in range(RECORD_BYTES)):
            data = [image.get(row + i, 0xFF) for i in range(RECORD_BYTES)]
            lines.append(record(row, data))
    lines.append(":00000001FF\r\n")
    return "".join(lines)


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    output = sys.argv[1] if len(sys.argv) > 1 else os.path.join(root, "resources", "sample.hex")
    text = to_hex(build())
    with open(output, "w", newline="") as handle:
        handle.write(text)
    print(f"{output}: {text.count(chr(10)) - 1} records")


if __name__ == "__main__":
    main()
