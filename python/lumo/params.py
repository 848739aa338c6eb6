"""The device parameter set a host writes with a SYNC answer."""

import struct

# Little-endian, natural alignment: 5 x u16, pad, u32, u32, u16, pad, u32, 6 x u16,
# 6 x u32, 32 reserved bytes (never sent), u16 CRC, pad: 100 bytes.
_LAYOUT = struct.Struct("<5H2xIIH2xI6H6I32xH2x")
_ARRAYS = {"param16a": (5, 0xFFFF), "param16c": (6, 0xFFFF), "param32d": (6, 0xFFFFFFFF)}
_SCALARS = {"param32a": 0xFFFFFFFF, "param32b": 0xFFFFFFFF, "param16b": 0xFFFF,
            "param32c": 0xFFFFFFFF, "crc16": 0xFFFF}


def _check_word(name, value, top):
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, got {type(value).__name__}")
    if not 0 <= value <= top:
        raise ValueError(f"{name} must be 0..{top:#x}, got {value}")
    return value


class DeviceParams:
    """The parameters the library moves without reading them. crc16 is the host's CRC16
    of the set: the device's parameters are written only when it differs from the CRC
    the device reported."""

    __slots__ = tuple(_ARRAYS) + tuple(_SCALARS)

    def __init__(self, **fields):
        unknown = set(fields) - set(self.__slots__)
        if unknown:
            raise TypeError(f"unknown parameter field(s): {', '.join(sorted(unknown))}")
        for name, (count, top) in _ARRAYS.items():
            values = list(fields.get(name, [0] * count))
            if len(values) != count:
                raise ValueError(f"{name} holds {count} values, got {len(values)}")
            setattr(self, name, [_check_word(f"{name}[{i}]", v, top) for i, v in enumerate(values)])
        for name, top in _SCALARS.items():
            setattr(self, name, _check_word(name, fields.get(name, 0), top))

    def to_bytes(self):
        return _LAYOUT.pack(*self.param16a, self.param32a, self.param32b, self.param16b,
                            self.param32c, *self.param16c, *self.param32d, self.crc16)

    @classmethod
    def from_bytes(cls, data):
        if len(data) != _LAYOUT.size:
            raise ValueError(f"a parameter set is {_LAYOUT.size} bytes, got {len(data)}")
        v = _LAYOUT.unpack(bytes(data))
        return cls(param16a=v[0:5], param32a=v[5], param32b=v[6], param16b=v[7], param32c=v[8],
                   param16c=v[9:15], param32d=v[15:21], crc16=v[21])

    def __eq__(self, other):
        return isinstance(other, DeviceParams) and self.to_bytes() == other.to_bytes()

    def __repr__(self):
        return "DeviceParams(" + ", ".join(f"{n}={getattr(self, n)!r}" for n in self.__slots__) + ")"
