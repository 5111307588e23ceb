#!/usr/bin/env python3
"""Writes the fuzz targets' seed corpora into fuzz/corpus/<target>/ (small files, committed).

The seeds are the protocol's worked examples and the inputs each reader meets in normal use:
valid replies of every reply length, a poll cycle as a serial stream, settings texts, preset
files, typical field texts and valid request frames. Run it again after changing it; it rewrites
the corpus directories from scratch.
"""
import os
import shutil
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "corpus")


def write(target, name, data):
    d = os.path.join(CORPUS, target)
    os.makedirs(d, exist_ok=True)
    if isinstance(data, str):
        data = data.encode("latin-1")
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


# ---- replies ---------------------------------------------------------------------------------

def signed(b):
    return b - 256 if b >= 128 else b


def reply(char, payload):
    """0x80, the command character, the payload in uppercase hex, the signed-sum checksum."""
    body = bytes([0x80, ord(char)]) + payload.hex().upper().encode()
    total = sum(signed(b) for b in body) & 0xFFFF
    return body + ("%04X" % total).encode()


def words(*values):
    return b"".join(struct.pack(">H", v & 0xFFFF) for v in values)


STATUS = words(0x1C44, 0x2710, 3, 12000, 4, 900, 0x01F4, 0x0700, 380, 375, 0, 0, 0x1980, 0x6FD0,
               0x0200, 0, 2, 0, 0xFFF6, 1, 4, 0, 0, 0, 18, 1)
REPLIES = {
    "status": ("3", STATUS),
    "battery_failure": ("B", words(*([0] * 16), 3, 8, *([0] * 8))),
    "system_failure": ("1", STATUS + words(*range(17))),
    "user_params": ("p", words(1, 3306, 2678, 3997, 2115, 4356, 5, 12, 1, 300, 0, 10)),
    "analog": ("a", words(*range(100, 700, 50))),
    "version": ("V", b"1.04" + bytes(16)),
    "version_rev": ("V", b"1.04 rev" + bytes(12)),
    "history": ("5", words(0x1980) * 12 + words(0x19FF) + words(*range(13, 27))),
    "setup": ("Q", words(10, 3609, 3456, 4, 1, 0, 11, 2944, 100, 20, 50, 40, 0, 0, 1230, 1100, 100,
                         0, 1, 0, 500, 1000, 1500, 2000, 2500, 3000, 3500, 4000, 25000, 22000,
                         19000, 16000, 13000, 10000, 7000, 4000, 1024, 30, 2, 625, 1250, 0)),
    "identity": ("C", b"VSP1000ASN004711"),
    "info": ("i", words(10, 11, 12, 13, 14, 15, 0)),
    "debug": ("d", words(*range(1, 13))),
    "tuning": ("f", words(*[i * 10 - 50 for i in range(20)], 120, -7, 33)),
    "ad_amplitudes": ("&", words(*range(1000, 1016))),
    "ad_offsets": ("%", words(*range(-8, 8))),
    "protocol_adds": ("4", words(40, 15) + b"20240115" + b"Vespero 5000".ljust(20, b"\0")
                      + b"Tralvane".ljust(20, b"\0") + b"Service Desk".ljust(20, b"\0")
                      + b"+39 011 000000".ljust(20, b"\0")),
    "protocol_adds_full": ("4", words(40, 15) + b"X" * 88),
    "aux": ("6", words(0, 3, 0, 0, 0, 0, 5, 0) + words(0xE240, 1) + words(0, 0, 542, 0, 0, 0)),
    "battery_test": ("7", words(1, 0x5F90, 1, 600, 0, 1728, 1650, 12, 300)),
}


def reply_seed(stream, first_length):
    return struct.pack(">H", first_length) + stream


def replies():
    for name, (char, payload) in REPLIES.items():
        r = reply(char, payload)
        write("fuzz_reply", name, reply_seed(r, len(r)))
    # The worked example with a lowercase checksum, and its unsigned-sum twin that must fail.
    v = reply("V", b"1.04" + bytes(16))
    write("fuzz_reply", "version_lowercase", reply_seed(v[:-4] + v[-4:].lower(), len(v)))
    write("fuzz_reply", "version_unsigned_sum", reply_seed(v[:-4] + b"087B", len(v)))
    write("fuzz_reply", "acknowledge", reply_seed(bytes([0x80, ord("U")]), 2))
    # Two poll cycles as the poll step asks for them, whole and in chunks of 7 characters.
    cycle = b"".join(reply(*REPLIES[n]) for n in
                     ("status", "debug", "version", "protocol_adds",
                      "status", "debug", "ad_amplitudes", "ad_offsets",
                      "status", "debug", "user_params"))
    write("fuzz_reply", "poll_cycles", reply_seed(cycle, 110))
    write("fuzz_reply", "poll_cycles_chunked", bytes([7, 0]) + cycle)
    # With seven extra commands queued before every step: the ring fills up and refuses work.
    write("fuzz_reply", "poll_cycles_busy", bytes([0xE0, 0]) + cycle)


# ---- settings --------------------------------------------------------------------------------

def settings():
    def seed(flags, first, values):
        return bytes([flags]) + b"\0".join([first.encode()] + [v.encode() for v in values])

    defaults = ["1", "1", "9600", "1", "0", "2", "1", "0", "3", "1", "0", "4", "1"]
    write("fuzz_settings", "first_start", seed(0, "42", []))
    write("fuzz_settings", "defaults", seed(0, "1", defaults))
    write("fuzz_settings", "markers", seed(0, "-1", ["7", "-1", "0", "7", "7", "-1", "7"]))
    write("fuzz_settings", "hand_edited",
          seed(0, "  0 trailing", ["+2", " -1", "abc", "1", "7", "5", "1", "0", "7", "1", "0",
                                   "19200x", "  0 trailing"]))
    write("fuzz_settings", "extremes",
          seed(0, "-2147483648", ["2147483647", "99999999999999999999", "-2147483649", "\t\n12",
                                  "- 5", "", "0x10", "1e3", "+-3", "3, 4"]))
    write("fuzz_settings", "long_value", seed(4, "0" * 48 + "7", ["0" * 60 + "1", " " * 49 + "5"]))
    write("fuzz_settings", "unreadable", seed(1, "9", defaults))
    write("fuzz_settings", "read_only", seed(2, "9", ["7", "-1", "0"]))


# ---- presets ---------------------------------------------------------------------------------

PRESET_LINES = [
    "Ampereh=40", "Vcycle=56.39", "Vstandby=54.00", "NumBatt=2", "num_board=1", "enable=0",
    "input_mode=4", "VbattTH1=46.0", "IbattTH1=10.0", "IbattTH2=6.0", "pwm_lin_max=2.3",
    "pwm_lin_min=1.0", "delay3=2.0", "rl1=0", "rl2=1", "rele_mod=0", "delay5=30",
    "f_start=50.00", "f_stop=25.00",
    "pfreq0=1.0", "pow0=1000", "pfreq1=1.1", "pow1=2000", "pfreq2=1.3", "pow2=3000",
    "pfreq3=1.6", "pow3=4000", "pfreq4=1.9", "pow4=5000", "pfreq5=2.5", "pow5=6000",
    "pfreq6=3.6", "pow6=7000", "pfreq7=6.3", "pow7=8000", "fattore=1.0", "slope=13",
]


def presets():
    crlf = "".join(line + "\r\n" for line in PRESET_LINES)
    write("fuzz_preset", "preset1.txt", crlf)
    write("fuzz_preset", "lf_only", "".join(line + "\n" for line in PRESET_LINES))
    write("fuzz_preset", "blank_lines", "\r\n\r\n".join(PRESET_LINES) + "\r")
    write("fuzz_preset", "lines_36", "".join(line + "\r\n" for line in PRESET_LINES[:36]))
    write("fuzz_preset", "lines_35", "".join(line + "\r\n" for line in PRESET_LINES[:35]))
    missing = PRESET_LINES[:3] + PRESET_LINES[4:]
    write("fuzz_preset", "missing_numbatt", "".join(line + "\r\n" for line in missing))
    odd = list(PRESET_LINES)
    odd[0] = "Ampereh= 40"
    odd[1] = "Vcycle=  56.39 V"
    odd[3] = "NumBatt=7"
    odd[4] = "num_board =1"
    odd[5] = "Enable=1"
    odd[7] = "VbattTH1=4.6e1junk"
    odd[8] = "IbattTH1=1e400"
    odd[9] = "   "
    write("fuzz_preset", "odd_lines", "".join(line + "\r\n" for line in odd))
    # Longer than the read limit: the cut falls in the middle of a line.
    long_text = crlf + "".join("comment%04d=%s\r\n" % (i, "x" * 40) for i in range(60))
    write("fuzz_preset", "beyond_limit", long_text)
    write("fuzz_preset", "long_values", "Ampereh=" + "9" * 1990 + "\r\nVcycle=" + "1" * 500)


# ---- dialog fields ---------------------------------------------------------------------------

def fields():
    texts = ["42", "-1", " +7abc", "\t 12 ", "2147483647", "2147483648", "-2147483649",
             "4294967295", "4294967296", "-4294967295", "99999999999999999999999",
             "3.14", "-0.0", ".5", "5.", "1e308", "1e309", "-1e309", "1e-400", "4.9e-324",
             "1.79769313486232e+308", "1e", "1e+", "0x1p3", "inf", "nan", "abc", "", "+", "- 5",
             "1,5", "\xa0" + "7", "12\x0034"]
    for i, t in enumerate(texts):
        write("fuzz_fields", "text%02d" % i, t)
    write("fuzz_fields", "long_digits", " " * 60 + "123456")
    write("fuzz_fields", "long_double", "0." + "0" * 395 + "123")


# ---- request frames to the simulator ---------------------------------------------------------

def query(char):
    return bytes([0x80, ord(char)])


def set_frame(char, data):
    body = bytes([0x80, ord(char)]) + data.hex().upper().encode()
    return body + ("%04X" % (sum(body) & 0xFFFF)).encode()


def sim():
    frames = {
        "query_status": query("3"),
        "query_version": query("V"),
        "stop_save": set_frame("S", words(0)),          # 80 "S0000" "0193"
        "stop_save_300": set_frame("S", words(300)),    # 80 "S012C" "01A9"
        "write_debug": set_frame("D", words(*range(12))),
        "write_setup": set_frame("U", bytes(84)),
        "write_ad": set_frame("#", words(*range(16))),
        "write_user": set_frame("R", words(*range(12))),
        "write_identity": set_frame("k", b"VSP1000ASN004711"),
        "write_pi": set_frame("P", words(*range(6))),
        "write_adds_1": set_frame("P", words(40, 15) + b"20240115" + b"M" * 20),
        "write_adds_2": set_frame("T", b"N" * 60),
        "test_battery": set_frame("b", words(300)),
        "decimal_stop": bytes([0x80, ord("G")]) + b"0\x80" + bytes(6),
        "bad_checksum": set_frame("S", words(0))[:-1] + b"0",
    }
    for name, frame in frames.items():
        write("fuzz_sim_parser", name, bytes([0]) + frame)
    cycle = b"".join(query(c) for c in "3dV4&%p")
    write("fuzz_sim_parser", "poll_cycle", bytes([0]) + cycle)
    write("fuzz_sim_parser", "noise_then_frames", bytes([0x08]) + b"\x00\xff\x80\x80" + frames["stop_save"]
          + query("3") + set_frame("S", words(1))[:5] + frames["write_debug"])
    write("fuzz_sim_parser", "chunked_pi_then_query", bytes([0x40]) + frames["write_pi"] + query("7"))
    write("fuzz_sim_parser", "poisoned", bytes([0x13]) + cycle)


# ---- data logs -------------------------------------------------------------------------------

LOG_HEADER = "Date,Time,Frgen,Vbatt,Iout,Pout,PowerPerc,CCBStatus,Tbatt,Ibatt\r\n"


def logs():
    """The first byte says where the reader's chunks are cut; the rest is the file."""
    rows = "".join("07/12/2026,%02d:%02d,50.0,%.1f,12,1234,%d,2,25.5,1.3\r\n" % (9 + i // 60, i % 60,
                   48.0 + i * 0.1, 40 + i) for i in range(12))
    write("fuzz_log_reader", "written", bytes([0x80]) + (LOG_HEADER + rows).encode())
    write("fuzz_log_reader", "no_header_lf", bytes([0x10]) + rows.replace("\r\n", "\n").encode())
    write("fuzz_log_reader", "damaged", bytes([0x40]) + (LOG_HEADER + rows[:60] + "\r\n,,0.0,0.0,0,0,0,0,0.0,0.0\r\n"
          + "31/02/2026,25:61,nan,inf,-0,0,0,0,-inf,1e308\r\n" + "x" * 5000 + "\r\n" + rows[:33]).encode())
    write("fuzz_log_reader", "joined", bytes([0xf0]) + (LOG_HEADER + rows + LOG_HEADER + rows).encode())


def main():
    for target in ("fuzz_reply", "fuzz_settings", "fuzz_preset", "fuzz_fields", "fuzz_sim_parser",
                   "fuzz_log_reader"):
        shutil.rmtree(os.path.join(CORPUS, target), ignore_errors=True)
    replies()
    settings()
    presets()
    fields()
    sim()
    logs()


if __name__ == "__main__":
    main()
