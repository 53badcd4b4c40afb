"""Korvanth: a runner in thread mode and one in async mode with its watchdog fed."""
import asyncio
import threading
import time

import Korvanth

TITLE = "Korvanth: thread mode, async mode and the watchdog"


def run():
    done = threading.Event()

    def work():
        print(f"  [thread task] running in {threading.current_thread().name} (daemon={threading.current_thread().daemon})")
        done.set()

    runner = Korvanth.CLASS_MultiTask(Korvanth.ENUM_TASK_MODE.cE_TaskM_TThread, work, Pmi_Timeout=2.5)
    print("  thread runner built with a 2.5 s watchdog that nobody feeds")
    started = time.time()
    runner.CUF_Start()
    done.wait(5)

    beats = []

    async def slow_job():
        for i in range(4):
            await asyncio.sleep(0.4)
            async_runner.CV_WatchDog.CUF_Beat()
            beats.append(i)
            print(f"  [async task] step {i + 1}/4, watchdog fed")
        async_runner.CV_WatchDog.CUF_Stop()
        print("  [async task] finished, watchdog stopped")
        finished.set()

    finished = threading.Event()
    async_runner = Korvanth.CLASS_MultiTask(Korvanth.ENUM_TASK_MODE.cE_TaskM_AsyncThread, slow_job, Pmi_Timeout=1)
    print("  async runner built with a 1 s watchdog, fed by its task")
    async_runner.CUF_Start()
    finished.wait(10)
    print("  waiting for the unfed watchdog of the thread runner to fire:", flush=True)
    time.sleep(max(0.0, started + 3.1 - time.time()))
