#!/usr/bin/python3
"""A recording SMTP server for the mail report tests.

Runs aiosmtpd on one address and port and writes everything a client did into a record file,
one event per line:

    <event> <TAB> <hex of the event's bytes> <LF>

so a test can read the exact bytes back without a JSON library. Events, in the order they
happened:

    connect      peer address
    cmd          every command line the server understood, "VERB arg" (AUTH included)
    auth_login   the LOGIN user name, decoded
    auth_pass    the LOGIN password, decoded
    auth_result  "ok" or "fail"
    mail_from    the MAIL FROM address
    rcpt         one per RCPT TO address
    data         the message as received, transparency dots removed
    payload      the body after its transfer encoding is undone
    subject      the Subject header with encoded words decoded (UTF-8)
    content_type the Content-Type header

The file is rewritten whole (temporary file, then rename) after every event, so a reader never
sees half a line. With --user and --password the server offers AUTH LOGIN on the plain
connection and refuses mail without it; without them it offers no authentication at all.
With --refuse-ehlo it answers EHLO with 502 and speaks only HELO.

Prints "READY" on standard output once it listens, "ERROR <text>" and exits 2 if it cannot.
Ends on SIGTERM or SIGINT, or by itself after --lifetime seconds.
"""

import argparse
import asyncio
import email
import email.header
import email.policy
import logging
import os
import signal
import sys
import warnings

from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword

EVENTS = []
RECORD_PATH = None


def record(event, value):
    if isinstance(value, str):
        value = value.encode("utf-8", "surrogateescape")
    EVENTS.append((event, bytes(value)))
    tmp = RECORD_PATH + ".tmp"
    with open(tmp, "w", encoding="ascii") as f:
        for name, data in EVENTS:
            f.write(f"{name}\t{data.hex()}\n")
    os.replace(tmp, RECORD_PATH)


class Handler:
    async def handle_DATA(self, server, session, envelope):
        raw = envelope.original_content or b""
        record("data", raw)
        try:
            message = email.message_from_bytes(raw, policy=email.policy.compat32)
            payload = message.get_payload(decode=True)
            record("payload", payload if isinstance(payload, bytes) else b"")
            subject = message.get("Subject")
            if subject is not None:
                decoded = str(email.header.make_header(email.header.decode_header(subject)))
                record("subject", decoded)
            record("content_type", message.get("Content-Type", ""))
        except Exception as error:  # a malformed message is recorded, not fatal
            record("parse_error", str(error))
        return "250 OK"


class RecordingSMTP(SMTP):
    refuse_ehlo = False

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        if self.refuse_ehlo:
            self._smtp_methods["EHLO"] = self._refused_ehlo
        for verb, method in list(self._smtp_methods.items()):
            self._smtp_methods[verb] = self._wrap(verb, method)

    async def _refused_ehlo(self, arg):
        await self.push("502 5.5.1 EHLO not implemented here")

    @staticmethod
    def _wrap(verb, method):
        async def recorded(arg):
            record("cmd", verb if arg is None else f"{verb} {arg}")
            if verb == "MAIL" and arg:
                address, _ = _split_address(arg, "FROM:")
                record("mail_from", address)
            if verb == "RCPT" and arg:
                address, _ = _split_address(arg, "TO:")
                record("rcpt", address)
            return await method(arg)

        return recorded

    def connection_made(self, transport):
        peer = transport.get_extra_info("peername")
        record("connect", str(peer[0]) if peer else "")
        super().connection_made(transport)


def _split_address(arg, keyword):
    text = arg
    if text.upper().startswith(keyword):
        text = text[len(keyword):]
    text = text.strip()
    if text.startswith("<") and ">" in text:
        return text[1:text.index(">")], text[text.index(">") + 1:]
    return text, ""


def make_authenticator(user, password):
    def authenticator(server, session, envelope, mechanism, auth_data):
        if not isinstance(auth_data, LoginPassword):
            record("auth_result", "fail")
            return AuthResult(success=False, handled=False)
        record("auth_login", auth_data.login)
        record("auth_pass", auth_data.password)
        ok = mechanism == "LOGIN" and auth_data.login == user and auth_data.password == password
        record("auth_result", "ok" if ok else "fail")
        return AuthResult(success=ok, handled=False)

    return authenticator


def main():
    global RECORD_PATH
    parser = argparse.ArgumentParser()
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=25)
    parser.add_argument("--record", required=True)
    parser.add_argument("--user")
    parser.add_argument("--password")
    parser.add_argument("--lifetime", type=float, default=120.0)
    parser.add_argument("--refuse-ehlo", action="store_true",
                        help="answer EHLO with 502, as an old server does, so clients fall back to HELO")
    args = parser.parse_args()
    RECORD_PATH = args.record
    # AUTH without TLS is the point of these tests; aiosmtpd's warnings about it are noise.
    warnings.simplefilter("ignore")
    logging.getLogger("mail.log").setLevel(logging.CRITICAL)
    record("start", "")

    auth = args.user is not None and args.password is not None
    options = dict(hostname="smtp.test", decode_data=False)
    if auth:
        user = args.user.encode("utf-8", "surrogateescape")
        password = args.password.encode("utf-8", "surrogateescape")
        options.update(auth_require_tls=False, auth_required=True,
                       authenticator=make_authenticator(user, password),
                       auth_exclude_mechanism=["PLAIN"])
    else:
        # No mechanism offered at all: a client that tries AUTH is refused and recorded.
        options.update(auth_require_tls=True)

    RecordingSMTP.refuse_ehlo = args.refuse_ehlo
    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    handler = Handler()
    try:
        server = loop.run_until_complete(loop.create_server(
            lambda: RecordingSMTP(handler, loop=loop, **options),
            host=args.host, port=args.port, reuse_address=True))
    except OSError as error:
        print(f"ERROR {error}", flush=True)
        sys.exit(2)

    loop.add_signal_handler(signal.SIGTERM, loop.stop)
    loop.add_signal_handler(signal.SIGINT, loop.stop)
    loop.call_later(args.lifetime, loop.stop)
    print("READY", flush=True)
    try:
        loop.run_forever()
    finally:
        server.close()
        record("stop", "")


if __name__ == "__main__":
    main()
