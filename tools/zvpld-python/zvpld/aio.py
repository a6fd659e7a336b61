"""The asyncio client: the blocking client's methods as coroutines over one connection whose
reader task hands each reply to its request (several may be in flight) and queues the event
feed for `async for event in client.events()`. It does not connect again: after a failure
every call raises it; make a new client."""
import asyncio

from .errors import DeadlineMissed, EngineError, EngineGone, WaitTimedOut
from .client import TEXT_SIZE
from .verbs import (FILTERS, Verbs, call_status, checked, point_record, timed_out, value_text,
                    wait_story)
from .wire import (Feed, ask_message, check_ask, check_peer, connect_failure, control_answer,
                   control_message, describe, frame_length, pack_frame, socket_path,
                   unpack_message)


async def connect(socket_path_, *, name="zvpld-pytest", timeout=5.0):
    """A control connection to the engine daemon at `socket_path_`, as zvpld.Client makes."""
    client = Client(socket_path(socket_path_), name, timeout)
    try:
        try:
            client._reader, client._writer = await asyncio.wait_for(
                asyncio.open_unix_connection(client.socket_path), timeout)
        except (asyncio.TimeoutError, OSError) as e:
            raise connect_failure(e, client.socket_path, timeout) from None
        check_peer(client._writer.get_extra_info("socket"), client.socket_path)
        client._task = asyncio.get_running_loop().create_task(client._read_all())
        check_ask(await client._request(ask_message(0, name)), client.socket_path)
    except BaseException:
        await client.close()
        raise
    return client


class Client(Verbs):
    def __init__(self, path, name, timeout):
        self.socket_path, self.name, self.timeout = path, name, timeout
        self._reader = self._writer = self._task = None
        self._pending = {}
        self._last_id = 0
        self._failure = None
        self._feed = Feed()
        self._fed = asyncio.Event()
        self._subscribed = False

    async def close(self):
        self._fail(EngineGone(f"the connection to the engine daemon at {self.socket_path} "
                              f"is closed"))
        if self._task is not None and self._task is not asyncio.current_task():
            self._task.cancel()
            await asyncio.gather(self._task, return_exceptions=True)

    async def __aenter__(self):
        return self

    async def __aexit__(self, *exc):
        await self.close()

    def _fail(self, error):
        if self._failure is None:
            self._failure = error
        if self._writer is not None:
            self._writer.close()
        for future in self._pending.values():
            if not future.done():
                future.set_exception(self._failure)
        self._pending.clear()
        self._fed.set()

    async def _read_all(self):
        try:
            while True:
                head = await self._reader.readexactly(4)
                body = await self._reader.readexactly(frame_length(head, self.socket_path))
                message = unpack_message(body, self.socket_path)
                if "feed" in message:
                    if self._subscribed:  # else a daemon's fault: not kept
                        self._feed.append(message["feed"], len(body))
                        self._fed.set()
                elif message.get("id") in self._pending:
                    future = self._pending.pop(message["id"])
                    if not future.done():
                        future.set_result(message)
        except (asyncio.IncompleteReadError, OSError) as e:
            self._fail(EngineGone(f"the engine daemon at {self.socket_path} closed the "
                                  f"connection ({e.__class__.__name__})"))
        except EngineError as e:
            self._fail(e)

    async def _request(self, message, timeout=None):
        if self._failure is not None:
            raise self._failure
        self._last_id = self._last_id % 0xFFFFFFFF + 1
        message["id"] = self._last_id
        future = asyncio.get_running_loop().create_future()
        self._pending[message["id"]] = future
        timeout = timeout or self.timeout
        try:
            self._writer.write(pack_frame(message))
            return await asyncio.wait_for(future, timeout)
        except asyncio.TimeoutError:
            error = DeadlineMissed(f"the engine daemon at {self.socket_path} did not answer "
                                   f"{describe(message)} within {timeout:g} s")
            self._fail(error)
            raise error from None
        finally:
            self._pending.pop(message["id"], None)

    async def command(self, command, *, step=None):
        message, timeout = control_message(command, step, self.timeout)
        return control_answer(await self._request(message, timeout), message, self.socket_path)

    async def _control(self, do, fields):
        command = {"do": do, **fields}
        return checked(command, await self.command(command))

    async def _wait(self, command):
        answer = await self.command(command)
        if answer.get("ok") is True or not timed_out(answer):
            return checked(command, answer)
        filters = {k: command[k] for k in FILTERS if k in command}
        matching, latest = None, ""
        try:
            matching = await self.journal(**filters, limit=8)
            if not matching.get("count"):
                since = max(command.get("since", 0), matching["last"] - 5)
                latest = await self.journal(since=since, limit=5)
        except EngineError as e:
            matching = str(e) if matching is None else matching
            latest = str(e)
        raise WaitTimedOut(wait_story(command, answer, matching, latest), command, answer)

    async def mark(self):
        return (await self.journal(limit=0))["last"]

    async def read(self, device, point, module=1):
        record = point_record(device, point, module)
        reply = await self._request({"op": "GetVelPntStr", "pnt": record, "size": TEXT_SIZE})
        call_status("GetVelPntStr", record, reply, self.socket_path)
        return value_text(reply, TEXT_SIZE, self.socket_path)

    async def write(self, device, point, value, module=1):
        record = point_record(device, point, module)
        reply = await self._request({"op": "SetVelPntStr", "pnt": record, "value": str(value),
                                     "setParam": 0})
        call_status("SetVelPntStr", record, reply, self.socket_path)

    async def subscribe(self, on=True):
        self._subscribed = on
        reply = await self._request({"op": "Control", "subscribe": on})
        if reply.get("status") != 0:
            raise EngineError(f"the engine daemon at {self.socket_path} answered status "
                              f"{reply.get('status')} to a subscription to its event feed")
        self._subscribed = on

    async def unsubscribe(self):
        await self.subscribe(False)

    def events(self, timeout=5.0):
        """The feed's events, each within `timeout` seconds or DeadlineMissed."""
        if not self._subscribed:  # now, not at the first iteration
            raise EngineError("events() needs subscribe() first, before the changes to see")
        return self._events(timeout)

    async def _events(self, timeout):
        while True:
            while not self._feed:
                if self._failure is not None:
                    raise self._failure
                self._fed.clear()
                try:
                    await asyncio.wait_for(self._fed.wait(), timeout)
                except asyncio.TimeoutError:
                    raise DeadlineMissed(f"no event of the feed at {self.socket_path} within "
                                         f"{timeout:g} s") from None
            yield self._feed.popleft()
