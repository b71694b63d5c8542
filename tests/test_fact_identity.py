"""The fact identifier: SHA-256 of triple + user + organisation in strict
UTF-8 with nothing between the pieces, as 64 lower-case hex characters,
computed through the module's bound `hashlib`."""

from __future__ import annotations

import hashlib
import json

import pytest

from support import MODULE_NAME, run_python


def sha(text: str) -> str:
    return hashlib.sha256(text.encode("utf-8")).hexdigest()


class Str(str):
    pass


@pytest.fixture
def det_id(module):
    return module.DuckSqliteGraph._det_id


@pytest.mark.parametrize(
    ("triple", "user_id", "org_id", "expected"),
    [
        ("", "", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"),
        ("abc", "", "", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"),
        ("", "", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"),
        ("a", "b", "c", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"),
        ("a|b|c", "u", "o", "5385055bd75de84158b0429fedac67d125be10ac3ee5d0d05709942c3af6f5ac"),
        ("\u00e9", "", "", "4a99557e4033c3539de2eb65472017cad5f9557f7a0625a09f1c3f6e2ba69c4c"),
    ],
)
def test_hard_coded_digests(det_id, triple, user_id, org_id, expected):
    assert det_id(triple, user_id, org_id) == expected


@pytest.mark.parametrize(
    ("triple", "user_id", "org_id"),
    [
        ("a|b|c", "", ""),
        ("||", "", ""),
        ("Alice|knows|Bob", "user-1", "org-9"),
        ("s|p|o", "", "org"),
        ("s|p|o", "user", ""),
        ("caf\u00e9|\u20ac|\U0001f600", "\u00fcser", "\u7d44\u7e54"),  # 1-, 2- and 4-byte kinds mixed
        ("nul\x00inside|tab\tnl\n|cr\r", " ", "  "),
        ("\U0010ffff" * 3, "\u0080", "\x7f"),
        ("x" * 100_000, "y" * 1000, "z" * 10),  # longer than one hash block many times over
        ("\u00e9" * 5000, "", "\U0001f600" * 5000),
    ],
)
def test_digest_of_the_utf8_concatenation(det_id, triple, user_id, org_id):
    result = det_id(triple, user_id, org_id)
    assert result == sha(triple + user_id + org_id)
    assert type(result) is str
    assert len(result) == 64 and result == result.lower()


@pytest.mark.parametrize(
    "pieces",
    [
        [("a|b|c", "ab", "c"), ("a|b|c", "a", "bc"), ("a|b|c", "abc", ""), ("a|b|c", "", "abc")],
        [("a|b|cu", "", ""), ("a|b|c", "u", ""), ("a|b|c", "", "u")],
        [("a|b|cuo", "", ""), ("a|b|c", "u", "o"), ("a|b|cu", "o", ""), ("", "", "a|b|cuo")],
    ],
    ids=["user-org-boundary", "triple-user-boundary", "all-boundaries"],
)
def test_moving_characters_across_the_boundaries_keeps_the_identifier(det_id, pieces):
    ids = {det_id(*p) for p in pieces}
    assert len(ids) == 1
    assert ids == {sha("".join(pieces[0]))}


@pytest.mark.parametrize(
    ("first", "second"),
    [
        (("t", "Alice", "o"), ("t", "alice", "o")),
        (("t", "alice", "o"), ("t", "alice ", "o")),
        (("t", "alice", "o"), ("t", " alice", "o")),
        (("t", "u", "Org"), ("t", "u", "org")),
        (("A|b|c", "u", "o"), ("a|b|c", "u", "o")),
        (("a|b|c", "u", "o"), ("a|b|c ", "u", "o")),
        # Precomposed e-acute against e + combining acute: no normalisation.
        (("caf\u00e9", "", ""), ("cafe\u0301", "", "")),
        (("\u212b", "", ""), ("\u00c5", "", "")),  # Angstrom sign vs A-ring
    ],
)
def test_case_blanks_and_unicode_forms_count(det_id, first, second):
    assert det_id(*first) != det_id(*second)
    assert det_id(*first) == sha("".join(first))
    assert det_id(*second) == sha("".join(second))


@pytest.mark.parametrize(
    ("text", "utf8"),
    [
        ("\u00e9", b"\xc3\xa9"),
        ("\u20ac", b"\xe2\x82\xac"),
        ("\U0001f600", b"\xf0\x9f\x98\x80"),
        ("\x00", b"\x00"),
    ],
)
@pytest.mark.parametrize("position", [0, 1, 2])
def test_non_ascii_is_hashed_through_its_utf8_bytes(det_id, text, utf8, position):
    args = ["", "", ""]
    args[position] = text
    assert det_id(*args) == hashlib.sha256(utf8).hexdigest()


@pytest.mark.parametrize("lone", ["\ud800", "\udfff", "a\udc80b"])
@pytest.mark.parametrize("position", [0, 1, 2])
def test_lone_surrogate_fails_to_encode(det_id, lone, position):
    args = ["t", "u", "o"]
    args[position] = lone
    with pytest.raises(UnicodeEncodeError):
        det_id(*args)


@pytest.mark.parametrize(
    ("kwargs", "name", "got"),
    [
        ({"triple": None, "user_id": "", "org_id": ""}, "triple", "NoneType"),
        ({"triple": "t", "user_id": None, "org_id": ""}, "user_id", "NoneType"),
        ({"triple": "t", "user_id": "", "org_id": 5}, "org_id", "int"),
        ({"triple": "t", "user_id": Str("u"), "org_id": ""}, "user_id", "Str"),
        ({"triple": b"t", "user_id": "", "org_id": ""}, "triple", "bytes"),
        ({"triple": "t", "user_id": 1, "org_id": None}, "user_id", "int"),  # first rejected wins
    ],
)
def test_non_text_argument_is_rejected_naming_the_parameter(det_id, kwargs, name, got):
    with pytest.raises(TypeError) as info:
        det_id(**kwargs)
    assert str(info.value) == f"Argument '{name}' has incorrect type (expected str, got {got})"


def test_callable_on_class_and_instance_positionally_or_by_keyword(module, started_store):
    expected = sha("a|b|cuo")
    assert module.DuckSqliteGraph._det_id("a|b|c", "u", "o") == expected
    assert started_store._det_id("a|b|c", "u", "o") == expected
    assert started_store._det_id(org_id="o", triple="a|b|c", user_id="u") == expected
    assert module.DuckSqliteGraph._det_id("a|b|c", org_id="o", user_id="u") == expected


def test_identifier_is_the_same_in_every_process(det_id):
    cases = [
        ["a|b|c", "u", "o"],
        ["caf\u00e9|\u20ac|\U0001f600", "\u00fcser", ""],
        ["||", "", ""],
    ]
    code = f"""
        import json
        from {MODULE_NAME} import DuckSqliteGraph
        print(json.dumps([DuckSqliteGraph._det_id(*c) for c in {cases!r}]))
    """
    results = []
    for seed in ("0", "12345"):
        proc = run_python(code, env={"PYTHONHASHSEED": seed})
        assert proc.returncode == 0, proc.stderr
        results.append(json.loads(proc.stdout))
    mine = [det_id(*c) for c in cases]
    assert results[0] == results[1] == mine


class StandInHashlib:
    """Replaces the module's `hashlib`: records what it is fed and answers
    with a digest of its own."""

    def __init__(self, answer):
        self.answer = answer
        self.fed = []

    def sha256(self, data=b""):
        outer = self

        class Digest:
            def __init__(self):
                outer.fed.append(bytes(data))

            def update(self, more):
                outer.fed.append(bytes(more))

            def hexdigest(self):
                return outer.answer

        return Digest()


def test_the_bound_hashlib_is_looked_up_at_call_time(module, det_id, monkeypatch):
    assert det_id("a|b|c", "u", "o") == sha("a|b|cuo")
    stand_in = StandInHashlib("stand-in digest")
    monkeypatch.setattr(module, "hashlib", stand_in)
    assert det_id("a|b|c", "\u00e9", "o") == "stand-in digest"
    assert b"".join(stand_in.fed) == "a|b|c\u00e9o".encode("utf-8")
    monkeypatch.undo()
    assert det_id("a|b|c", "u", "o") == sha("a|b|cuo")


@pytest.mark.parametrize(
    ("answer", "message"),
    [
        (5, "Expected str, got int"),
        (b"00", "Expected str, got bytes"),
        (["x"], "Expected str, got list"),
    ],
)
def test_result_that_is_not_text_is_rejected(module, det_id, monkeypatch, answer, message):
    monkeypatch.setattr(module, "hashlib", StandInHashlib(answer))
    with pytest.raises(TypeError) as info:
        det_id("a|b|c", "u", "o")
    assert str(info.value) == message


def test_none_result_passes_the_result_check(module, det_id, monkeypatch):
    monkeypatch.setattr(module, "hashlib", StandInHashlib(None))
    assert det_id("a|b|c", "u", "o") is None
