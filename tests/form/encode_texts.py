#!/usr/bin/python3
"""Writes text values as pydicom's encoder stores them under a Specific
Character Set, one per line: the character set, the stored bytes and the
text pydicom reads back from them as UTF-8, both in hex, separated by tabs. Person names go through
PersonName (each component group in its own escape sequences).

    encode_texts.py [FILE]     (standard output without FILE)"""
import sys

from pydicom.charset import convert_encodings, decode_bytes, encode_string
from pydicom.valuerep import PersonName

# (Specific Character Set, text, is a person name)
ROWS = [
    ("", "ANON^A", True),
    ("ISO_IR 100", "Müller^Zoë", True),
    ("ISO_IR 101", "Dvořák^Łucja", True),
    ("ISO_IR 109", "Ġużeppi^Ħabib", True),
    ("ISO_IR 110", "Ķēniņš^Ūna", True),
    ("ISO_IR 144", "Люкceмбypг^Иван", True),
    ("ISO_IR 148", "Çavuşoğlu^Şükrü", True),
    ("ISO_IR 166", "นาย^ทดสอบ", True),
    ("ISO_IR 192", "Wang^XiaoDong=王^小東=", True),
    ("GB18030", "Wang^XiaoDong=王^小東=", True),
    ("ISO 2022 IR 6", "PLAIN^TEXT", True),
    ("\\ISO 2022 IR 87", "Yamada^Tarou=山田^太郎=やまだ^たろう", True),
    ("ISO 2022 IR 13\\ISO 2022 IR 87", "ﾔﾏﾀﾞ^ﾀﾛｳ=山田^太郎=やまだ^たろう", True),
    ("\\ISO 2022 IR 159", "Hong=丂", True),
    ("\\ISO 2022 IR 149", "Hong^Gildong=洪^吉洞=홍^길동", True),
    ("ISO 2022 IR 100", "Café Ölmühle", False),
    ("ISO 2022 IR 100\\ISO 2022 IR 144", "Café Люкс", False),
]


def main():
    out = open(sys.argv[1], "w", encoding="ascii", newline="\n") if len(sys.argv) > 1 else sys.stdout
    for charset, text, is_name in ROWS:
        encodings = convert_encodings(charset.split("\\") if charset else ["ISO_IR 6"])
        if is_name:
            stored = PersonName(text).encode(encodings)
        else:
            stored = encode_string(text, encodings)
        # The expected text is pydicom's own reading of the bytes (its
        # encoder leaves out empty trailing name groups).
        decoded = decode_bytes(stored, encodings, set())
        out.write("%s\t%s\t%s\n" % (charset, stored.hex(), decoded.encode("utf-8").hex()))


if __name__ == "__main__":
    main()
