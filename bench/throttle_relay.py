#!/usr/bin/python3
"""A TCP relay on loopback that passes what a client sends on at a limited rate, for the
benchmark's slow-line case: a large attachment that takes many seconds to go out.

    throttle_relay.py LISTEN_PORT TARGET_PORT BYTES_PER_SECOND

Listens on 127.0.0.1:LISTEN_PORT and connects every client to 127.0.0.1:TARGET_PORT. Bytes from
the client reach the target at no more than BYTES_PER_SECOND; the target's replies come back at
once. Prints "ready" on a line of its own once it listens, and runs until killed.
"""

import asyncio
import sys
import time

CHUNK = 16 * 1024


async def pump(reader, writer, rate):
    start = time.monotonic()
    sent = 0
    try:
        while True:
            data = await reader.read(CHUNK)
            if not data:
                break
            writer.write(data)
            await writer.drain()
            sent += len(data)
            if rate > 0:
                # Ahead of the allowed rate: wait until the bytes sent so far are due.
                due = start + sent / rate
                delay = due - time.monotonic()
                if delay > 0:
                    await asyncio.sleep(delay)
    except (ConnectionError, asyncio.CancelledError):
        pass
    finally:
        try:
            writer.close()
        except Exception:
            pass


async def serve(target_port, rate, client_reader, client_writer):
    try:
        server_reader, server_writer = await asyncio.open_connection("127.0.0.1", target_port)
    except OSError:
        client_writer.close()
        return
    await asyncio.gather(pump(client_reader, server_writer, rate),
                         pump(server_reader, client_writer, 0))


async def main():
    listen_port, target_port, rate = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3])
    server = await asyncio.start_server(
        lambda r, w: serve(target_port, rate, r, w), "127.0.0.1", listen_port)
    print("ready", flush=True)
    async with server:
        await server.serve_forever()


if __name__ == "__main__":
    try:
        asyncio.run(main())
    except KeyboardInterrupt:
        pass
