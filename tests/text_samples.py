"""Hand-written text logs of the lines real files hold, shared by the tests
and the fuzz seeds."""

ASC = """\
date Wed Dec 9 05:30:42.123 pm 2026
base hex  timestamps absolute
internal events logged
// version 13.0.0
Begin Triggerblock Wed Dec 9 17:30:42.123 2026
   0.000000 Start of measurement
   0.001000 1  123             Rx   d 8 01 02 03 04 05 06 07 08  Length = 228000 BitCount = 118 ID = 291
   0.002000 2  1ABCDEFx        Tx   d 3 AA BB CC
   0.003000 1  200             Rx   r
   0.003500 1  201             Rx   r 4
   0.004000 1  ErrorFrame
   0.005000 CANFD   1 Rx        456  EngineData                       1 0 9 12 00 01 02 03 04 05 06 07 08 09 0A 0B   130000  130 3000 0 0 0 0 0
   0.006000 CANFD   2 Tx  1FFFFFFFx                                    0 1 8  8 11 22 33 44 55 66 77 88   130000  130 5000 0 0 0 0 0
   0.007000 CANFD   1 Rx ErrorFrame
   0.008000 1  Statistic: D 0 R 0 XD 0 XR 0 E 0 O 0 B 0.00%
   0.009000 1  J1939TP FEE3p 6 0 0 - Rx d 23 A0 0F A6 60 3B D1 40 1F DE 80 25 DF 40 2F DE 80 09
   0.010000 CAN 1 Status:chip status error active
   0.011000 1  124             Rx   d A 01 02 03 04 05 06 07 08
   0.012000 L1 Rx 23 Header 2 data 00
End TriggerBlock
"""

ASC_DEC = """\
date Mon Sep 30 15:06:13 2019
base dec  timestamps absolute
no internal events logged
   1.000000 1  291             Rx   d 2 1 255
   1.500000 3  100x            Tx   d 1 16
"""

CANDUMP = """\
(1436509052.249713) vcan0 123#DEADBEEF
(1436509052.250000) vcan1 12345678#0011223344556677 T
(1436509052.250100) vcan0 7FF#R9 R
(1436509052.250200) vcan0 FFF#R12
(1436509052.250300) vcan1 789##1001122334455667788990011 R
(1436509052.250350) vcan1 78A##3 T
(1436509052.250400) vcan0 20000080#0000000000000000 R
(1436509052.250500) can-bus.2 00000123#11 R
"""

TRC = {
    "1.0": """\
;##########################################################################
;   Start time: 12.12.2021 14:28:15.000.0
     1)      1841  0001 8 00 00 00 00 00 00 00 00
     2)      1842  18EFC034 8 01 02 03 04 05 06 07 08
     3)      1843  FFFFFFFF 4 00 00 00 08
     4)      1844  0002 2 RTR
""",
    "1.1": """\
;$FILEVERSION=1.1
;$STARTTIME=44548.6028595139
;---+--   ----+----  --+--  ----+---  +  -+ -- -- -- -- -- -- --
     1)      1841.0  Rx         0001  8  00 00 00 00 00 00 00 00
     2)      1842.3  Tx     18EFC034  8  01 02 03 04 05 06 07 08
     3)      1843.0  Rx         0002  4  RTR
     4)      1844.0  Warng  FFFFFFFF  4  00 00 00 08  BUSHEAVY
""",
    "1.3": """\
;$FILEVERSION=1.3
;$STARTTIME=44548.6028595139
     1)      1841.0 1  Rx         0001 -  8    00 00 00 00 00 00 00 00
     2)      1842.3 2  Tx     18EFC034 -  8    01 02 03 04 05 06 07 08
     3)      1843.0 1  Rx         0002 -  4    RTR
     4)      1844.0 1  Warng  FFFFFFFF -  4    00 00 00 08 BUSHEAVY
""",
    "2.0": """\
;$FILEVERSION=2.0
;$STARTTIME=44548.6028595139
;$COLUMNS=N,O,T,I,d,l,D
      1      1059.900 DT     0300 Rx 7 00 00 00 00 04 00 00
      2      1283.231 FD     0400 Rx 12 01 02 03 04 05 06 07 08 09 0A 0B 0C
      3      1283.500 FB 18EFC034 Tx 16 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F
      4      1290.000 RR     0500 Rx 4
      5      1300.000 ST Rx 00 00 00 08
      6      1400.000 ER     0000 Rx 5 04 00 00 00 00
""",
    "2.1": """\
;$FILEVERSION=2.1
;$STARTTIME=44548.6028595139
;$COLUMNS=N,O,T,B,I,d,R,L,D
      1      1059.900 DT  1     0300 Rx -  7    00 00 00 00 04 00 00
      2      1283.231 FB  2     0400 Rx -  9    01 02 03 04 05 06 07 08 09 0A 0B 0C
      3      1290.000 RR  1     0500 Tx -  4
      4      1300.000 EV  1    Rx -  0
""",
}

# LIN and Ethernet lines among CAN lines, in the shapes converters write
# (hex), then the same under "base dec".
ASC_BUSES = """\
date Wed Dec 9 05:30:42.123 pm 2026
base hex  timestamps absolute
   0.010000 1  123             Rx   d 2 01 02
   0.073973 Li 2d              Tx       8 00 f0 f0 ff ff ff ff ff                              checksum = 70   header time =  40, full time = 130  SOF = 0.067195  BR = 19230  break = 937125 114062   EOH = 0.069266   EOB =  0.069789 0.070312 sim = 1    EOF = 0.073973  RBR = 19231  HBR = 19230.769231  CSM = enhanced
   0.080000 L3 11              Rx       2 0a 0b checksum = e1
   0.090000 L3 12              CSErr Rx 1 5a checksum = 00
   0.091000 L3 13              Rx CSErr 1 5b checksum = 01
   0.100000 L2 3c              Rx       c 01 02 03 04 05 06 07 08
   0.424674 Li 33           TransmErr    header time =  40, full time = 166  SOF = 0.416054  BR = 19230
   0.554673 Li 33           8 RcvError: timeout while waiting for checksum field  StateReason = 0c  ShortError = 0  DlcTimeout = 0  HasDatabytes = 1 05 00 00 00 00 ff ff ff  SOF = 0.546052  BR = 19230
   0.560000 Li 34           8 RcvError: no response  HasDatabytes = 0  SOF = 0.546052
   1.298765 Li 1            8 ShortOrSlowResponse: NumRespBytes = 9   11 12 13 14 15 16 17 18 99 SlowResponse = 1
   2.022336 L2              SyncError  208   0   0   0  SOF = 2.021077  BR = 19230  break = 937125 113312
   2.318672 Li WakeupFrame     Tx         00  SOF = 2.317671  BR = 19230  LengthCode = 0
   2.318700 L4 WakeupFrame     Rx         00
   0.777200 Li SleepModeEvent 0 entering sleep mode due to sleep mode frame
   5.990958 L2 Spike  Rx        56 microseconds  SOF = 5.990902  BR = 9615
   0.100000 Li              Baudrate     9615
   3.000000  ETH 2 Tx  3c:FFFFFFFFFFFF40000000000408060001080006040001400000000004C0A80001000000000000C0A80001000000000000000000000000000000000000
   3.100000  ETH 10 Rx     10:0102030405060708
   3.200000  ETH 1 Rx     4:0102030
   4.000000 1  124             Rx   d 1 ff
base dec
   5.000000 L1 17              Rx       2 10 11 checksum = 225
   5.100000  ETH 3 Rx     4:0a0b0c0d
"""

MALFORMED = {
    "asc": (
        "base hex  timestamps absolute\n   0.1 1  1 Rx d 0\n",
        [
            "   0.2 1  123 Rx d 8 01 02",
            "   0.2 1  123 Rx d 2 0x1 02",
            "   0.2 1  123 Rx d G 00",
            "   0.2 CANFD 1 Rx 123 1 0 9 8 00 01 02 03 04 05 06 07",
            "   0.2 1  123 Up d 1 00",
            "   0.2 300  123 Rx d 1 00",
            "   0.2 1  123456789x Rx d 0",
            "what is this",
        ],
    ),
    "log": (
        "(1.0) vcan0 001#00\n",
        [
            "(1.0) vcan0 12G#00",
            "(1.0) vcan0 123#0",
            "(1.0) vcan0 123#001122334455667788",
            "(x) vcan0 123#00",
            "(1.0) vcan0",
            "(1.0) vcan0 123##",
            "(1.0) vcan0 123##1001122334455667788",
            "(1.0) vcan0 123#00 X",
            "(1.0) vcan9 123#00 R extra",
        ],
    ),
    "trc": (
        ";$FILEVERSION=2.1\n;$COLUMNS=N,O,T,B,I,d,R,L,D\n 1 1.0 DT 1 0001 Rx - 1 00\n",
        [
            " 2 1.0 DT 1 0123 Rx - 8 00 11",
            " 2 1.0 DT 1 01G3 Rx - 1 00",
            " 2 1.0 DT 1 0123 Rx - 9 00 11 22 33 44 55 66 77 88",
            " 2 x DT 1 0123 Rx - 0",
            " 2 1.0 FD 1 0123 Rx - 1 00 11",
            " 2 1.0 DT 1 0123 Rx - 1 00 11",
        ],
    ),
}


def every_kind(t0=1_733_000_000 * 10**9):
    """Frames of every kind an ASC line holds; times in ns, some past the half us."""
    import numpy as np

    import korvel.korvel as kv

    fd = (0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64)
    rows = [(0x40 * (n % 2) | 4 * (n % 3 > 0), n, n) for n in range(9)] + [(0x24, 3, 0), (32, 9, 0)]
    rows += [(12 | b, n, n) for b in range(4) for n in fd] + [(0x2C, 3, 0), (16, 0, 0), (28, 0, 0)]
    index, i = np.zeros(len(rows), kv.DT), np.arange(len(rows))
    flags, index["len"], stored = np.array(rows).T
    index["flags"], index["is64"], index["channel"] = flags, flags >> 3 & 1, 1 + i % 3
    index["timestamp"] = t0 + i * 1_234_567 + 999 * (i % 3 == 0)
    index["can_id"] = np.where(flags & 16, 0, np.where(flags & 64, 0x1ABCDE0, 0x700) + i)
    index["loc"] = np.cumsum(stored) - stored | stored << 48
    return index, (np.arange(stored.sum()) % 251).astype(np.uint8)
