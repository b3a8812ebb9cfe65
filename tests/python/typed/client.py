"""A typed client as people write them: mypy --strict must see what every call gives."""

import asyncio

import talvenor


def handler(reading: talvenor.StandardReading) -> None:
    print(reading.sonar1 + reading.temperature, reading.age())


async def record(ctl: talvenor.Control) -> int:
    picture = await ctl.wait_for("ImageEvent", timeout=5)
    reading = await ctl.wait_for("StandardSensorEvent")
    total = reading.sonar1
    async for motor in ctl.events("MotorSensorEvent", maxsize=10):
        total += motor.current1 + motor.encoder_dir1
        break
    voice = ctl.voice()
    return total + len(picture) + len(voice)


def main() -> None:
    got: list[int] = []
    with talvenor.Control("R1", stop_motors_on_exit=True, wait=5) as ctl:
        ctl.on("StandardSensorEvent", handler)
        ctl.on("CustomSensorEvent", lambda reading: got.append(reading.bat1_vol + reading.chg_path))
        ctl.DcMotorPwmNonTimeCtr(0, 300)
        ctl.run_until(lambda: got, 10)
        sonar: int = ctl.GetSensorSonar1()
        print(sonar, ctl.relay_state(), talvenor.served_robots())
        print(asyncio.run(record(ctl)))


if __name__ == "__main__":
    main()
