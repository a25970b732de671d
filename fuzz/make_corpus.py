#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets (fuzz/corpus/<target>/).

The seeds are small, valid inputs of every shape the fixed types of
fuzz_support.cpp allow: simple values, markers, single children, arrays with
and without the array flag, records nested to the depth cap, transaction
records, specification records with twelve and thirteen tokens per attribute,
combined messages, status records, and version blocks inside ELF files of
both classes and byte orders. Run it from anywhere; it rewrites the corpora.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
D3, D4, EMPTY = "\x03", "\x04", "\x05"


def delimited(tokens, d=D3):
    return "".join(t + d for t in tokens)


def prefixed(tokens):
    out = b""
    for t in tokens:
        b = t.encode("latin-1")
        out += ("%x#" % len(b)).encode() + b
    return out


def record(type_name, values, verb="null", flag="false"):
    head = ["BusinessObject", type_name, "1.0.0"]
    if flag is not None:
        head.append(flag)
    return head + [verb, "en_US", str(len(values))] + [t for v in values for t in v]


def child(tokens):
    return ["1"] + tokens


def array(*elements, flag="false"):
    out = [str(len(elements))]
    if flag is not None:
        out.append(flag)
    for e in elements:
        out += e
    return out


ADDRESS = record("Address", [["Paris"], ["75001"]])
LINE1 = record("Line", [["L1"], ["3"], ["9.5"]])
LINE2 = record("Line", [["L2"], ["VqBlank"], ["VqIgnore"]], verb="Delete")
ORDER = record("Order", [["O1"], array(LINE1, LINE2, flag="true"), ["0"], ["a note"]])
CUSTOMER = record("Customer", [["Smith"], child(ADDRESS), array(ORDER), ["true"], ["VqIgnore"]],
                  verb="Create")
OLD_ORDER = record("Order", [["O2"], array(record("Line", [["L3"], ["1"], ["2"]], flag=None),
                                          flag=None), ["0"], ["VqBlank"]],
                   verb="Update", flag=None)


def chain(depth):
    tokens = record("Node", [["n%d" % depth], ["0"], ["0"], ["2024-01-01"]])
    for level in range(depth - 1, 0, -1):
        tokens = record("Node", [["n%d" % level], child(tokens), ["0"], ["VqIgnore"]])
    return tokens


def nested_text(tokens):
    """Delimited text as the writer makes it: a child record is one token."""
    return delimited(tokens)


def spec(name, attrs, verbs=("Create", "Retrieve"), thirteenth=False):
    tokens = ["BusObjSpec", name, "1.0.0", EMPTY, str(len(attrs)), str(len(verbs))]
    for a_name, a_type, key, card in attrs:
        tokens += [a_name, a_type, "true" if key else "false", "false", "false", EMPTY, "0",
                   EMPTY, "1.0.0", card, "Containment", "false"]
        if thirteenth:
            tokens.append("true")
    for v in verbs:
        tokens += [v, EMPTY]
    return tokens


GADGET = spec("Gadget", [("Id", "String", True, "1"), ("Parts", "Line", False, "n"),
                         ("Owner", "Customer", False, "1"), ("Size", "Integer", False, "null")])


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    if isinstance(data, str):
        data = data.encode("latin-1")
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def elf(block, bits=64, big=False):
    names = b"\0.hb_verinfo\0.shstrtab\0"
    e = ">" if big else "<"
    ehsize, shsize = (64, 64) if bits == 64 else (52, 40)
    block_at = ehsize
    names_at = block_at + len(block)
    headers_at = (names_at + len(names) + 7) & ~7
    ident = b"\x7fELF" + bytes([2 if bits == 64 else 1, 2 if big else 1, 1]) + bytes(9)
    if bits == 64:
        header = ident + struct.pack(e + "HHIQQQIHHHHHH", 3, 62, 1, 0, 0, headers_at, 0, ehsize,
                                     0, 0, shsize, 3, 2)
    else:
        header = ident + struct.pack(e + "HHIIIIIHHHHHH", 3, 3, 1, 0, 0, headers_at, 0, ehsize,
                                     0, 0, shsize, 3, 2)

    def section(name, kind, offset, size):
        if bits == 64:
            return struct.pack(e + "IIQQQQIIQQ", name, kind, 0, 0, offset, size, 0, 0, 1, 0)
        return struct.pack(e + "IIIIIIIIII", name, kind, 0, 0, offset, size, 0, 0, 1, 0)

    body = header + block + names
    body += bytes(headers_at - len(body))
    body += bytes(shsize) + section(1, 1, block_at, len(block)) + section(13, 3, names_at,
                                                                          len(names))
    return body


def main():
    # Business object records.
    for name, tokens in [("customer", CUSTOMER), ("order_older_form", OLD_ORDER),
                         ("address", ADDRESS), ("chain_at_cap", chain(100)),
                         ("chain_past_cap", chain(101))]:
        write("busobj_delimited", name, nested_text(tokens))
        write("busobj_prefixed", name, prefixed(tokens))
    write("busobj_delimited", "doubled_delimiters", D3 + D3 + nested_text(ADDRESS).replace(D3, D3 * 2))
    write("busobj_prefixed", "hash_and_delimiter_in_value",
          prefixed(record("Address", [["a#b\x03c"], [""]])))

    # Transaction records: the business object record, then the prior image.
    tx = record("Order", [["O1"], array(LINE1, flag="false"), ["0"], ["new"]], verb="Update")
    prior = ["TransactionBusinessObject", "Order", "1.0.0", "Update", "4", "O1",
             "1"] + LINE2 + ["0", "old"]
    write("transaction", "delimited", b"\x00" + nested_text(tx + prior).encode("latin-1"))
    write("transaction", "prefixed", b"\x01" + prefixed(tx + prior))
    write("transaction", "no_prior_image", b"\x00" + nested_text(CUSTOMER).encode("latin-1"))

    # Specification records.
    write("spec_record", "delimited", b"\x00" + delimited(GADGET).encode("latin-1"))
    write("spec_record", "prefixed", b"\x01" + prefixed(GADGET))
    write("spec_record", "thirteen_tokens",
          b"\x01" + prefixed(spec("Thing", [("A", "Date", False, "1"), ("B", "date", False, "n")],
                                  verbs=("Delete",), thirteenth=True)))
    write("spec_record", "verbs_only", b"\x00" + delimited(spec("Empty", [])).encode("latin-1"))
    booleans = spec("Flags", [("true", "String", False, "1"), ("false", "Boolean", False, "1")],
                    verbs=("false",), thirteenth=True)
    write("spec_record", "boolean_names", b"\x00" + delimited(booleans).encode("latin-1"))

    # Combined messages: a new type taught by the message, and the key form.
    gadget = record("Gadget", [["G1"], array(LINE1), child(CUSTOMER), ["7"]], verb="Create")
    combined = delimited(["BusObjAndSpec", nested_text(gadget), delimited(GADGET)], D4)
    write("busobjandspec", "all_specs", "\x00" + combined)
    key_form = delimited(["BusinessObject", "Gadget", "1.0.0", "Update", "4", "G9", "0", "0",
                          "VqBlank"])
    write("busobjandspec", "key_form",
          "\x01" + delimited(["BusObjAndSpec", key_form, delimited(GADGET)], D4))
    write("busobjandspec", "known_type",
          "\x00" + delimited(["BusObjAndSpec", nested_text(ADDRESS)], D4))

    # Status records.
    write("return_status", "no_message", delimited(["ReturnStatusDescriptor", "-5", "null"], D4))
    write("return_status", "message",
          delimited(["ReturnStatusDescriptor", "1", "created C1\x03with a code 3"], D4))

    # Version blocks: whole files and bare blocks.
    block = b"HBVINFO1\0StringFileInfo\\040904B0\\FrameWorkVersion\x004.1.0\0\0"
    two = block + b"\0\0" + b"HBVINFO1\0Other\0x\0\0"
    write("version_section", "elf64_le", b"\x00" + elf(block))
    write("version_section", "elf32_be", b"\x00" + elf(two, bits=32, big=True))
    write("version_section", "block", b"\x01" + two)


if __name__ == "__main__":
    main()
