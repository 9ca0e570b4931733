"""``brenvolt listen``: an MLLP receiver that stores every message as a JSON line before it says AA.

Each connection is an ``asyncio.BufferedProtocol`` (``MllpConnection``): no
task and no stream per connection. Its bytes go straight into an incremental
``FrameDecoder``; each complete frame is decoded (``--encoding``), converted
with ``Hl7Json`` and handed to the store (see ``brenvolt_feeds.store``) as it
arrives, and the answers go out strictly in the order the frames came, each
only once its line is written and fsync'd. What happens to each frame:

- a message that converts: a part line ``{"received", "peer", "control_id",
  "sha256", "records", "raw"}``, answered ``AA``;
- a message already stored recently (same MSH-10 and same bytes): not stored
  again, counted as a duplicate, answered ``AA``;
- bytes that do not decode, a frame that does not start with an MSH segment,
  or a message that ``Hl7Json`` cannot convert: a rejects line ``{"received",
  "peer", "error", "raw"}``, answered ``AE``; one that fails ``--validate`` /
  ``--strict``: a rejects line, answered ``AR``;
- a message whose header declares other delimiters than ``| ^ ~ \\ &``: read
  through ``brenvolt_feeds.delimiters.to_standard_delimiters`` and stored
  like any other; with ``--no-delimiter-rewrite``, or when its encoding
  characters cannot be honoured (``MSH$^&&^$``), a rejects line, answered
  ``AR`` with the reason. Every answer is written in the delimiters the
  message declared;
- a message whose MSH-15 is filled (enhanced mode): stored or rejected the
  same way, and answered with a commit acknowledgement (``CA``, or ``CE``/
  ``CR`` where original mode says AE/AR) only when MSH-15's condition asks
  for one (``AL`` always, ``NE`` never, ``ER`` on error, ``SU`` on
  success). MSH-16, the application acknowledgement, is never sent: that is
  the business of the application that reads the store;
- an acknowledgement (MSH-9 ``ACK``): stored like any message, never answered;
- a frame over ``--max-frame-size``: logged, the connection is closed without
  an answer;
- a store that cannot write or fsync: the connection is closed without an
  answer.

Bytes outside frames are skipped and logged (peer and stream offset); they
never end the connection, nor keep an idle one open.

Who may connect is decided before a byte is read: peers outside ``--allow``
and connections past ``--max-connections`` are closed as they are accepted,
and with ``--tls-client-ca`` a peer without a valid client certificate fails
its handshake. ``--http`` serves ``/metrics`` and ``/health``;
``--forward`` passes every stored message on (``brenvolt_feeds.forward``).
"""

from __future__ import annotations

import argparse
import asyncio
import contextlib
import logging
import os
import resource
import signal
import ssl
import sys
import typing
from collections.abc import Callable, Sequence
from typing import Final, Literal

from brenvolt_feeds import options as option_types
from brenvolt_feeds.access import AllowList
from brenvolt_feeds.connection import MllpConnection
from brenvolt_feeds.monitor import parse_address
from brenvolt_feeds.receiver import (
    DEFAULT_FRAME_TIME_LIMIT,
    DEFAULT_FRAME_TIMEOUT,
    DEFAULT_IDLE_TIMEOUT,
    DEFAULT_MAX_CONNECTIONS,
    DEFAULT_MAX_FRAME_SIZE,
    SPARE_DESCRIPTORS,
    Counters,
    ListenConfig,
    Receiver,
)
from brenvolt_feeds.send import SendConfig, add_connection_arguments, connection_config, connection_problem
from brenvolt_feeds.store import (
    DEFAULT_DUP_WINDOW,
    DEFAULT_PARALLEL_SYNCS,
    DEFAULT_ROTATE_BYTES,
    DEFAULT_ROTATE_SECONDS,
)

__all__ = [
    "Counters",
    "ListenConfig",
    "MllpConnection",
    "Receiver",
    "add_listen_arguments",
    "add_listen_command",
    "event_loop_runner",
    "main",
    "raise_descriptor_limit",
    "run_listen",
    "serve",
]

log = logging.getLogger("brenvolt.listen")

EventLoop = Literal["auto", "uvloop", "asyncio"]


# -- running --------------------------------------------------------------


async def serve(config: ListenConfig, *, ready: Callable[[Receiver], None] | None = None) -> Counters:
    """Run a receiver until SIGTERM or SIGINT; return its counters.

    ``ready`` is called once the port is bound. Raises what ``Receiver.start`` raises.
    """
    receiver = Receiver(config)
    await receiver.start()
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for number in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(number, stop.set)
    try:
        if ready is not None:
            ready(receiver)
        await stop.wait()
        log.info("stopping: finishing the frames in hand")
    finally:
        for number in (signal.SIGTERM, signal.SIGINT):
            loop.remove_signal_handler(number)
        await receiver.stop()
        if receiver.store is not None:
            store = receiver.store
            log.info("wrote %d lines in %d batches", store.lines_written, store.batches)
    return receiver.counters


def event_loop_runner(
    choice: EventLoop,
) -> tuple[Callable[[typing.Coroutine[object, object, Counters]], Counters], str]:
    """How to run the receiver's coroutine, and the loop's name.

    uvloop when asked for, or with ``auto`` when it is installed; asyncio otherwise.

    Raises ``ImportError`` when ``uvloop`` is asked for and not installed.
    """
    if choice != "asyncio":
        try:
            import uvloop
        except ImportError:
            if choice == "uvloop":
                raise ImportError(
                    "--event-loop uvloop: uvloop is not installed (pip install 'brenvolt[uvloop]')"
                ) from None
        else:
            return uvloop.run, "uvloop"
    return asyncio.run, "asyncio"


def raise_descriptor_limit(wanted: int) -> int:
    """Raise the soft open-file limit towards ``wanted`` (at most the hard limit); return the soft limit."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    target = wanted if hard == resource.RLIM_INFINITY else min(wanted, hard)
    if target > soft:
        with contextlib.suppress(ValueError, OSError):
            resource.setrlimit(resource.RLIMIT_NOFILE, (target, hard))
            soft = target
    return soft


def _forward_config(options: argparse.Namespace) -> SendConfig | None:
    if options.forward is None:
        return None
    host, port = options.forward
    return connection_config(
        options, host, port, options.encoding, not options.no_delimiter_rewrite, prefix="forward-"
    )


def run_listen(options: argparse.Namespace) -> int:
    """The handler of ``brenvolt listen``: serve until SIGTERM/SIGINT, print the summary; the exit status."""
    for key, needs in (("tls_key", "tls_cert"), ("tls_client_ca", "tls_cert")):
        if getattr(options, key) and not getattr(options, needs):
            print(
                f"brenvolt listen: --{key.replace('_', '-')} needs --{needs.replace('_', '-')}",
                file=sys.stderr,
            )
            return 2
    problem = connection_problem(options, "forward-")
    if (
        problem is None
        and options.forward is None
        and (options.forward_tls or options.forward_tls_ca or options.forward_tls_cert)
    ):
        problem = "the --forward-tls options need --forward"
    if problem is not None:
        print(f"brenvolt listen: {problem}", file=sys.stderr)
        return 2
    config = ListenConfig(
        out=options.out,
        host=options.host,
        port=options.port,
        max_frame_size=options.max_frame_size,
        idle_timeout=options.idle_timeout,
        frame_timeout=options.frame_timeout,
        frame_time_limit=options.frame_time_limit,
        max_connections=options.max_connections,
        rotate_bytes=options.rotate_size,
        rotate_seconds=options.rotate_time,
        dup_window=options.dup_window,
        encoding=options.encoding,
        validate=options.validate or options.strict,
        strict=options.strict,
        escaping=not options.no_escaping,
        rewrite_delimiters=not options.no_delimiter_rewrite,
        original_mode=options.original_mode,
        tls_cert=options.tls_cert,
        tls_key=options.tls_key,
        tls_client_ca=options.tls_client_ca,
        allow=tuple(options.allow),
        http=options.http,
        forward=_forward_config(options),
        fsync=not options.no_fsync,
        parallel_fsyncs=options.parallel_fsyncs,
    )
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(logging.Formatter("%(asctime)s %(levelname)s %(message)s"))
    for name in ("brenvolt.listen", "brenvolt.store", "brenvolt.forward", "brenvolt.send"):
        logger = logging.getLogger(name)
        logger.addHandler(handler)
        logger.setLevel(
            logging.DEBUG if options.verbose else logging.INFO if not options.quiet else logging.WARNING
        )
        logger.propagate = False
    if options.event_loop not in ("auto", "uvloop", "asyncio"):
        print(
            f"brenvolt listen: BRENVOLT_EVENT_LOOP={options.event_loop!r}: say auto, uvloop or asyncio",
            file=sys.stderr,
        )
        return 2
    try:
        run, loop_name = event_loop_runner(options.event_loop)
    except ImportError as error:
        print(f"brenvolt listen: {error}", file=sys.stderr)
        return 2
    wanted = config.max_connections + SPARE_DESCRIPTORS + config.parallel_fsyncs
    limit = raise_descriptor_limit(wanted)
    if limit < wanted:
        log.warning(
            "the open-file limit is %d: at most about %d connections can be open at once, not %d "
            "(--max-connections); past it waiting connections are closed",
            limit,
            max(limit - SPARE_DESCRIPTORS - config.parallel_fsyncs, 0),
            config.max_connections,
        )

    def ready(receiver: Receiver) -> None:
        assert receiver.store is not None
        recovery = receiver.store.recovery
        if recovery.closed:
            log.warning("closed %d files left open by an earlier run", len(recovery.closed))
        log.debug("event loop: %s", loop_name)
        if receiver.forwarder is not None:
            log.info(
                "forwarding to %s from part file %d offset %d",
                receiver.forwarder.target,
                *receiver.forwarder.position,
            )
        if config.http is not None:
            print(
                f"metrics on http://{config.http[0]}:{receiver.http_port}/metrics",
                file=sys.stderr,
                flush=True,
            )
        print(f"listening on {config.host}:{receiver.port}", file=sys.stderr, flush=True)

    try:
        counters = run(serve(config, ready=ready))
    except (OSError, ssl.SSLError, LookupError, ValueError) as error:
        print(f"brenvolt listen: {error}", file=sys.stderr)
        return 1
    print(counters.summary(), file=sys.stderr, flush=True)
    return 0


def _address(text: str) -> tuple[str, int]:
    try:
        return parse_address(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def _allowed(text: str) -> str:
    try:
        AllowList([text])
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None
    return text


def add_listen_arguments(parser: argparse.ArgumentParser) -> None:
    """Add ``brenvolt listen``'s options to ``parser`` and set its handler."""
    parser.add_argument("--out", required=True, metavar="DIR", help="directory of the part and rejects files")
    parser.add_argument("--host", default="127.0.0.1", help="address to listen on (default: 127.0.0.1)")
    parser.add_argument(
        "--port", type=int, default=2575, help="TCP port; 0 asks the system for a free one (default: 2575)"
    )
    parser.add_argument(
        "--encoding",
        type=option_types.encoding,
        default="utf-8",
        help="how message bytes are decoded (default: utf-8)",
    )
    parser.add_argument(
        "--validate",
        action="store_true",
        help="reject (AR) messages that break the structural rules, as to-json --validate",
    )
    parser.add_argument(
        "--strict",
        action="store_true",
        help="also require a known version and three MSH-9 components; implies --validate",
    )
    parser.add_argument(
        "--no-escaping", action="store_true", help="keep escape sequences as written in the records"
    )
    parser.add_argument(
        "--no-delimiter-rewrite",
        action="store_true",
        help="do not read messages whose header declares other delimiters than | ^ ~ \\ & in them: "
        "answer them AR (by default they are rewritten into the standard ones and stored)",
    )
    parser.add_argument(
        "--original-mode",
        action="store_true",
        help="answer every message AA, AE or AR, whatever its MSH-15 asks (by default a message whose "
        "MSH-15 is filled gets a commit acknowledgement, CA, CE or CR, only when MSH-15 asks for one)",
    )
    limits = parser.add_argument_group("limits")
    limits.add_argument(
        "--max-frame-size",
        type=option_types.size,
        default=DEFAULT_MAX_FRAME_SIZE,
        metavar="SIZE",
        help="largest frame; a larger one closes the connection without an answer (default: 16M)",
    )
    limits.add_argument(
        "--idle-timeout",
        type=option_types.seconds,
        default=DEFAULT_IDLE_TIMEOUT,
        metavar="SECONDS",
        help="close a connection that sends no frame for this long, or does not read its ACKs for "
        "this long; 0: never (default: 600)",
    )
    limits.add_argument(
        "--frame-timeout",
        type=option_types.seconds,
        default=DEFAULT_FRAME_TIMEOUT,
        metavar="SECONDS",
        help="close a connection whose open frame gets no byte for this long, or whose TLS handshake "
        "takes longer; 0: never (default: 30)",
    )
    limits.add_argument(
        "--frame-time-limit",
        type=option_types.seconds,
        default=DEFAULT_FRAME_TIME_LIMIT,
        metavar="SECONDS",
        help="close a connection whose frame is not complete this long after its start byte, however "
        "steadily its bytes come; 0: never (default: 300)",
    )
    limits.add_argument(
        "--max-connections",
        type=option_types.positive_count,
        default=DEFAULT_MAX_CONNECTIONS,
        metavar="N",
        help="connections served at once; more are closed as they are accepted (default: 100)",
    )
    limits.add_argument(
        "--rotate-size",
        type=option_types.size,
        default=DEFAULT_ROTATE_BYTES,
        metavar="SIZE",
        help="start a new part or rejects file past this size (default: 64M)",
    )
    limits.add_argument(
        "--rotate-time",
        type=option_types.seconds,
        default=DEFAULT_ROTATE_SECONDS,
        metavar="SECONDS",
        help="start a new file after this long (default: 3600)",
    )
    limits.add_argument(
        "--dup-window",
        type=option_types.count,
        default=DEFAULT_DUP_WINDOW,
        metavar="N",
        help="stored messages remembered to spot duplicates; 0: off (default: 100000)",
    )
    limits.add_argument(
        "--parallel-fsyncs",
        type=option_types.positive_count,
        default=DEFAULT_PARALLEL_SYNCS,
        metavar="N",
        help="batches of lines whose fsync may run at once (default: 4)",
    )
    access = parser.add_argument_group("who may connect")
    access.add_argument(
        "--allow",
        action="append",
        type=_allowed,
        default=[],
        metavar="ADDRESS",
        help="accept connections only from this address or network (10.0.0.0/8, 192.0.2.7, ::1); "
        "repeat it or separate with commas; others are closed before a byte is read and logged "
        "(default: everyone)",
    )
    tls = parser.add_argument_group("TLS")
    tls.add_argument("--tls-cert", metavar="FILE", help="serve TLS with this PEM certificate (chain)")
    tls.add_argument(
        "--tls-key", metavar="FILE", help="the certificate's PEM private key (default: in --tls-cert)"
    )
    tls.add_argument(
        "--tls-client-ca",
        metavar="FILE",
        help="require every client to present a certificate signed by this PEM authority and valid "
        "now; others fail their handshake (needs --tls-cert)",
    )
    monitoring = parser.add_argument_group("monitoring")
    monitoring.add_argument(
        "--http",
        type=_address,
        metavar="HOST:PORT",
        help="serve /metrics (Prometheus text) and /health over HTTP here; a PORT alone listens on "
        "127.0.0.1 (default: off)",
    )
    forward = parser.add_argument_group("store and forward")
    forward.add_argument(
        "--forward",
        type=_address,
        metavar="HOST:PORT",
        help="send every stored message, in the order stored, to this MLLP receiver; the position "
        "survives restarts and refused messages go to dead-*.jsonl (default: off)",
    )
    add_connection_arguments(forward, "forward-", where="the downstream receiver")
    parser.add_argument(
        "--event-loop",
        choices=("auto", "uvloop", "asyncio"),
        default=os.environ.get("BRENVOLT_EVENT_LOOP", "auto"),
        help="the event loop: uvloop (the 'uvloop' extra) is faster; auto takes it when installed "
        "(default: $BRENVOLT_EVENT_LOOP, or auto)",
    )
    parser.add_argument("--no-fsync", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("-v", "--verbose", action="store_true", help="log every connection")
    parser.add_argument("-q", "--quiet", action="store_true", help="log only problems")
    parser.set_defaults(handler=run_listen)


DESCRIPTION: Final = (
    "Receive HL7 v2 messages over MLLP and store each as one JSON line in DIR "
    "(part-*.jsonl; rejects-*.jsonl for what cannot be converted). AA is sent only "
    "after the line is written and fsync'd. SIGTERM or SIGINT finishes what is in "
    "hand and prints a summary."
)


def add_listen_command(commands: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    """Add the ``listen`` sub-command, with all its options, to a ``brenvolt`` sub-parser set."""
    parser = commands.add_parser(
        "listen", help="receive HL7 over MLLP into JSON Lines files", description=DESCRIPTION
    )
    add_listen_arguments(parser)


def main(argv: Sequence[str] | None = None) -> int:
    """Run ``brenvolt listen`` with ``argv`` (``python -m brenvolt_feeds.listen ARGS``)."""
    parser = argparse.ArgumentParser(prog="brenvolt listen", description=DESCRIPTION)
    add_listen_arguments(parser)
    options = parser.parse_args(argv)
    handler: Callable[[argparse.Namespace], int] = options.handler
    return handler(options)


if __name__ == "__main__":
    sys.exit(main())
