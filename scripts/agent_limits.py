#!/usr/bin/env python3
"""Stands in front of one snmpsim agent and gives it the limits of real printers' agents.

snmpsim answers SNMPv1 and SNMPv2c alike and sends answers of any size. Printers in the field
often do neither: old agents speak SNMPv1 only (they drop SNMPv2c requests, so a manager has to
fall back to v1), and small agents cannot send a message past 484 bytes (they answer tooBig).
This relay listens where the printer should be, passes requests on to the snmpsim agent behind
it and its answers back, and applies those limits on the way:

  --v1-only          requests of any version but SNMPv1 are dropped unanswered;
  --max-message N    an answer longer than N bytes is replaced by the tooBig answer an agent
                     gives (RFC 1157: the request's bindings; RFC 3416: no bindings); an SNMPv1
                     tooBig that would itself pass N bytes goes without bindings, as small agents
                     send it, so that the manager always learns why.

  agent_limits.py --listen 127.0.0.16:16161 --agent 127.0.0.16:40123 [--v1-only] [--max-message 484]

printers.sh starts it for .snmprec files that carry "# agent: snmpv1-only" or
"# agent: max-message N" lines.
"""
import argparse
import select
import socket
import sys
import time


def read_tlv(data, pos):
    """(tag, content start, content end) of the BER element at pos; ValueError when cut."""
    if pos + 2 > len(data):
        raise ValueError("cut element")
    tag = data[pos]
    length = data[pos + 1]
    pos += 2
    if length & 0x80:
        n = length & 0x7F
        if n == 0 or n > 4 or pos + n > len(data):
            raise ValueError("bad length")
        length = int.from_bytes(data[pos:pos + n], "big")
        pos += n
    if pos + length > len(data):
        raise ValueError("cut content")
    return tag, pos, pos + length


def encode_length(n):
    if n < 128:
        return bytes([n])
    body = n.to_bytes((n.bit_length() + 7) // 8, "big")
    return bytes([0x80 | len(body)]) + body


def tlv(tag, content):
    return bytes([tag]) + encode_length(len(content)) + content


def integer(value):
    return tlv(0x02, value.to_bytes(max(1, (value.bit_length() + 8) // 8), "big", signed=True))


class Request:
    """The parts of a request message the relay needs."""

    def __init__(self, data):
        tag, start, end = read_tlv(data, 0)
        if tag != 0x30:
            raise ValueError("not a message")
        t, s, e = read_tlv(data, start)
        self.version = int.from_bytes(data[s:e], "big", signed=True)
        t, s, e = read_tlv(data, e)
        self.community = data[s:e]
        self.pdu_tag, s, pdu_end = read_tlv(data, e)
        t, s, e = read_tlv(data, s)
        self.request_id = data[s:e]
        t, s, e = read_tlv(data, e)  # error-status (non-repeaters)
        t, s, e = read_tlv(data, e)  # error-index (max-repetitions)
        self.bindings = data[e:pdu_end]  # the binding list element, whole

    def too_big(self, limit):
        def answer(bindings):
            pdu = tlv(0xA2, tlv(0x02, self.request_id) + integer(1) + integer(0) + bindings)
            return tlv(0x30, integer(self.version) + tlv(0x04, self.community) + pdu)
        whole = answer(self.bindings)
        if self.version == 0 and len(whole) <= limit:
            return whole
        return answer(tlv(0x30, b""))


def request_id_of(data):
    """The request id of an answer, or None."""
    try:
        return Request(data).request_id
    except ValueError:
        return None


def endpoint(text):
    host, _, port = text.rpartition(":")
    return host, int(port)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--listen", required=True, type=endpoint)
    parser.add_argument("--agent", required=True, type=endpoint)
    parser.add_argument("--v1-only", action="store_true")
    parser.add_argument("--max-message", type=int, default=0)
    # printers.sh names its state folder here, so that it stops only the relays it started.
    parser.add_argument("--owner", default="")
    args = parser.parse_args()

    front = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    front.bind(args.listen)
    back = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    back.connect(args.agent)
    pending = {}  # request id -> (client address, request, time)
    while True:
        readable, _, _ = select.select([front, back], [], [], 5.0)
        now = time.monotonic()
        # Requests the agent never answered (an unknown community) are forgotten after a while.
        for key in [k for k, v in pending.items() if now - v[2] > 30]:
            del pending[key]
        if front in readable:
            try:
                data, client = front.recvfrom(65535)
                request = Request(data)
            except (OSError, ValueError):
                continue
            if args.v1_only and request.version != 0:
                continue
            pending[request.request_id] = (client, request, now)
            try:
                back.send(data)
            except OSError:
                pending.pop(request.request_id, None)
        if back in readable:
            try:
                data = back.recv(65535)
            except OSError:
                continue  # the agent is not (yet) there: the client will send again
            entry = pending.pop(request_id_of(data), None)
            if entry is None:
                continue
            client, request, _ = entry
            if args.max_message and len(data) > args.max_message:
                data = request.too_big(args.max_message)
            try:
                front.sendto(data, client)
            except OSError:
                pass


if __name__ == "__main__":
    sys.exit(main())
