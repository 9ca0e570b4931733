"""Deterministic HL7 v2 workloads for the benchmark suite.

Everything is generated here from fixed seeds: nothing is downloaded and two
runs produce the same text byte for byte. Every message starts with an MSH
segment (python-hl7 and hl7apy insist on one) and ends each segment with a
carriage return, so brenvolt's records end with the empty record of the
final line.
"""

from __future__ import annotations

import base64
import random
from collections.abc import Callable
from dataclasses import dataclass

SEED = 20261208

MB = 1024 * 1024
LARGE_SIZE = 10 * MB


@dataclass(frozen=True)
class Workload:
    key: str          # short identifier used in tables and plots
    title: str        # what the text is
    text: str
    adversarial: bool = False
    # The same shape at 1/divisor of the size (None: a fixed-size message).
    build: Callable[[int], str] | None = None

    @property
    def nbytes(self) -> int:
        return len(self.text.encode("utf-8"))

    def smaller(self, divisor: int) -> str | None:
        return None if self.build is None else self.build(divisor)


def _msh(message_type: str, control_id: str, stamp: str = "20261208093015") -> str:
    return (
        f"MSH|^~\\&|BRENVOLT_BENCH|GOOD HEALTH HOSPITAL|RECEIVER|LAB NORD|{stamp}||{message_type}|"
        f"{control_id}|P|2.5.1|||AL|NE|DEU|UNICODE UTF-8"
    )


# ---------------------------------------------------------------------------
# ADT^A01, about 2 KB
# ---------------------------------------------------------------------------

def adt_a01() -> str:
    """A typical admission: components, repetitions, a few escape sequences
    and non-ASCII names."""
    segments = [
        _msh("ADT^A01^ADT_A01", "ADT000001"),
        "EVN|A01|20261208093000|||JSMITH^Smith^Jane^^^Dr.^^^GHH|20261208092500",
        "PID|1||4711^^^GHH^MR^GHH~987-65-4320^^^USSSA^SS||Müller^José^Ángel^^Dr.^^L~Mueller^Jose^^^^^A||"
        "19610615|M||2106-3^White^HL70005|Königstraße 12^Apt. 5\\T\\6^Köln^NW^50667^DEU^H~"
        "PO Box 77^^Köln^NW^50601^DEU^M||+49 221 555 0101^PRN^PH^^49^221^5550101~"
        "jose.mueller@example.org^NET^Internet^jose.mueller@example.org|+49 221 555 0199^WPN^PH|"
        "ger^German^ISO639|M^Married^HL70002|CAT^Catholic^HL70006|A4711001^^^GHH^AN|||"
        "N^Not Hispanic^HL70189||||DEU^Germany^ISO3166",
        "PD1|||Good Health Hospital^^GHH001|1234567^Ødegård^Åse^^^Dr.^^^NPI",
        "NK1|1|Müller^Zoë^^^Mrs.|SPO^Spouse^HL70063|Königstraße 12^Apt. 5\\T\\6^Köln^NW^50667^DEU^H|"
        "+49 221 555 0102^PRN^PH||EC^Emergency Contact^HL70131",
        "NK1|2|Nowak^Łukasz|BRO^Brother^HL70063|ul. Długa 3^^Gdańsk^^80-827^POL^H|+48 58 555 0303^PRN^PH",
        "PV1|1|I|2000^2012^01^GHH^^^^^Ward 2\\S\\East||||004777^Attend^Aaron^A^^Dr.^^^NPI|"
        "005888^Refer^Rita^R^^Dr.^^^NPI|006999^Consult^Chen^^^Dr.^^^NPI~007111^张^伟^^^Dr.^^^NPI|SUR|||||A0|"
        "||VIP^Very important|V4711^^^GHH^VN|||||||||||||||||||||||||20261208093000",
        "PV2|||CHEST PAIN\\X0D\\\\X0A\\SHORTNESS OF BREATH^Chest pain|||||||3|||||||||||N",
        "OBX|1|NM|8867-4^Heart rate^LN||82|/min^per minute^UCUM|60-100|N|||F|||20261208092000",
        "OBX|2|ST|8480-6^Systolic blood pressure^LN||145|mm[Hg]^millimetre of mercury^UCUM|90-140|H|||F",
        "OBX|3|TX|11450-4^Problem list^LN||Hypertension \\T\\ type 2 diabetes; "
        "allergy: penicillin\\E\\G|||||||F",
        "AL1|1|DA|70618^Penicillin^RXNORM|SV|Anaphylaxis~Urticaria|20200101",
        "DG1|1||I20.0^Unstable angina^I10|||A|||||||||1|004777^Attend^Aaron^A^^Dr.",
        "PR1|1||0210093^Coronary artery bypass^ICD10PCS||20261208101500|A",
        "GT1|1||Müller^José^Ángel||Königstraße 12^Apt. 5\\T\\6^Köln^NW^50667^DEU|+49 221 555 0101",
        "IN1|1|GOLD^Gold plan|INS001^^^GHH|Rheinland Versicherung AG|"
        "Postfach 10 11 12^^Düsseldorf^NW^40002^DEU||"
        "+49 211 555 0000|G4711|||||20260101|20261231|||Müller^José^Ángel|SEL^Self^HL70063|19610615",
    ]
    return "\r".join(segments) + "\r"


# ---------------------------------------------------------------------------
# ORU^R01 with 500 OBX segments, about 60 KB
# ---------------------------------------------------------------------------

_TESTS = [
    ("2345-7", "Glucose [Mass/volume] in Serum or Plasma", "NM", "mg/dL", 70, 110),
    ("2160-0", "Creatinine [Mass/volume] in Serum or Plasma", "NM", "mg/dL", 0.6, 1.3),
    ("2951-2", "Sodium [Moles/volume] in Serum or Plasma", "NM", "mmol/L", 135, 145),
    ("2823-3", "Potassium [Moles/volume] in Serum or Plasma", "NM", "mmol/L", 3.5, 5.1),
    ("718-7", "Hemoglobin [Mass/volume] in Blood", "NM", "g/dL", 12, 17.5),
    ("6690-2", "Leukocytes [#/volume] in Blood", "NM", "10*3/uL", 4.5, 11),
    ("777-3", "Platelets [#/volume] in Blood", "NM", "10*3/uL", 150, 400),
    ("1742-6", "Alanine aminotransferase [Enzymatic activity/volume]", "NM", "U/L", 7, 56),
]
_COMMENTS = [
    "Sample slightly hemolysed \\T\\ repeat advised",
    "Verified by Dr. Ødegård",
    "Result phoned to ward 2\\S\\East at 09:40",
    "Critical value\\X0D\\\\X0A\\read back confirmed",
    "Probe lipämisch; Ergebnis unter Vorbehalt",
]


def _obx(rng: random.Random, set_id: int) -> str:
    code, name, kind, unit, low, high = _TESTS[rng.randrange(len(_TESTS))]
    span = high - low
    value = round(rng.uniform(low - span * 0.3, high + span * 0.3), 2)
    flag = "L" if value < low else "H" if value > high else "N"
    minute = rng.randrange(60)
    note = f"|{_COMMENTS[rng.randrange(len(_COMMENTS))]}" if rng.random() < 0.06 else ""
    return (
        f"OBX|{set_id}|{kind}|{code}^{name}^LN||{value}|{unit}^{unit}^UCUM|{low}-{high}|{flag}|||F|||"
        f"202612080{minute // 10}{minute % 10}00||TECH{rng.randrange(100):02d}{note}"
    )


def _patient(rng: random.Random, n: int) -> list[str]:
    families = ["Müller", "Schmidt", "Ødegård", "Nowak", "O'Brien", "García", "Dupont", "李", "Yılmaz",
                "Smith"]
    givens = ["José", "Zoë", "Łukasz", "Åse", "Renée", "Wei", "Ingrid", "John", "Chloé", "Mehmet"]
    family, given = families[rng.randrange(10)], givens[rng.randrange(10)]
    return [
        f"PID|1||{1000000 + n}^^^GHH^MR~{rng.randrange(10**8, 10**9)}^^^USSSA^SS||{family}^{given}^^^^^L||"
        f"19{rng.randrange(30, 99)}0{rng.randrange(1, 10)}1{rng.randrange(10)}|{'MF'[rng.randrange(2)]}|||"
        f"Hauptstraße {rng.randrange(1, 200)}^^Köln^NW^50667^DEU^H||"
        f"+49 221 555 {rng.randrange(1000, 9999)}^PRN^PH",
        f"PV1|1|O|LAB^^^GHH||||004777^Attend^Aaron^A^^Dr.^^^NPI|||||||||||V{n:07d}^^^GHH^VN",
    ]


def _order(rng: random.Random, n: int) -> list[str]:
    return [
        f"ORC|RE|ORD{n:07d}^GHH|FIL{n:07d}^LAB||CM",
        f"OBR|1|ORD{n:07d}^GHH|FIL{n:07d}^LAB|24323-8^Comprehensive metabolic panel^LN|||"
        "20261208080000|||||||"
        f"20261208081500||004777^Attend^Aaron^A^^Dr.||||||20261208093000|||F",
    ]


def oru_r01(observations: int = 500) -> str:
    rng = random.Random(SEED + 1)
    segments = [_msh("ORU^R01^ORU_R01", "ORU000001"), *_patient(rng, 1), *_order(rng, 1)]
    segments += [_obx(rng, i) for i in range(1, observations + 1)]
    return "\r".join(segments) + "\r"


# ---------------------------------------------------------------------------
# MDM^T02 with a long narrative, about 66 KB
# ---------------------------------------------------------------------------

_WORDS = (
    "the patient was admitted with chest pain and shortness of breath after a fall at home "
    "history of hypertension type 2 diabetes and chronic kidney disease stage 3 "
    "examination showed mild oedema of both ankles no murmur lungs clear on auscultation "
    "Patientin berichtet über Schmerzen Übelkeit Müdigkeit und Schwindel seit drei Tagen "
    "douleur thoracique aiguë irradiant vers le bras gauche fièvre élevée pendant la nuit "
    "pacjent zgłasza ból głowy osłabienie i duszność przy wysiłku "
    "Ødegård Ærø Åse Ångström naïve café résumé façade coöperate São Paulo "
    "plan continue metoprolol review renal function repeat troponin in six hours"
).split()
# Escape sequences as a narrative holds them: "&", "^", "|", "\\", "~" in text.
_NARRATIVE_ESCAPES = ["\\T\\", "\\S\\", "\\F\\", "\\E\\", "\\R\\", "\\T\\", "\\S\\"]


def _narrative(rng: random.Random, size: int) -> str:
    """Prose of `size` bytes or a little more: words separated by spaces, one
    escape sequence every 25 bytes or so, paragraphs broken by CR LF escapes."""
    parts: list[str] = []
    total = 0
    while total < size:
        if rng.random() < 0.205:
            escape = _NARRATIVE_ESCAPES[rng.randrange(len(_NARRATIVE_ESCAPES))]
            word = _WORDS[rng.randrange(len(_WORDS))] + escape
        elif rng.random() < 0.01:
            word = "end of paragraph.\\X0D\\\\X0A\\"
        else:
            word = _WORDS[rng.randrange(len(_WORDS))]
        parts.append(word)
        total += len(word.encode()) + 1
    return " ".join(parts)


def mdm_t02(narrative_size: int = 45_000, notes: int = 140) -> str:
    """A transcribed discharge note: the 45 KB narrative in one OBX-5, then
    short observation lines of prose."""
    rng = random.Random(SEED + 4)
    segments = [
        _msh("MDM^T02^MDM_T02", "MDM000001"),
        "EVN|T02|20261208093000",
        *_patient(rng, 3),
        "TXA|1|DS^Discharge summary|TX|20261208093000|004777^Attend^Aaron^A^^Dr.||20261208093000||"
        "004777^Attend^Aaron^A^^Dr.||||DOC000001^GHH|||||AU",
        f"OBX|1|TX|18842-5^Discharge summary^LN||{_narrative(rng, narrative_size)}||||||F",
    ]
    segments += [
        f"OBX|{i}|TX|8251-1^Service comment^LN|{i}|{_narrative(rng, 90)}||||||F" for i in range(2, notes + 2)
    ]
    return "\r".join(segments) + "\r"


# ---------------------------------------------------------------------------
# A 10 MB message: one patient, many orders, results and notes
# ---------------------------------------------------------------------------

def large_message(size: int = LARGE_SIZE) -> str:
    rng = random.Random(SEED + 2)
    segments = [_msh("ORU^R01^ORU_R01", "ORU000002"), *_patient(rng, 2)]
    total = sum(len(s.encode()) + 1 for s in segments)
    order = 0
    while total < size:
        order += 1
        block = _order(rng, order)
        block += [_obx(rng, i) for i in range(1, rng.randrange(5, 40))]
        if rng.random() < 0.3:
            block.append(f"NTE|1|L|{_COMMENTS[rng.randrange(len(_COMMENTS))]}~Reviewed^Dr.^Ødegård")
        segments += block
        total += sum(len(s.encode()) + 1 for s in block)
    return "\r".join(segments) + "\r"


# ---------------------------------------------------------------------------
# Adversarial shapes, each behind an ordinary MSH segment
# ---------------------------------------------------------------------------

_HEADER = _msh("ORU^R01^ORU_R01", "ADV000001") + "\r"
ESCAPES = ["\\F\\", "\\S\\", "\\R\\", "\\E\\", "\\T\\",
           "\\X0A\\", "\\X0D\\", "\\X0D0A\\", "\\X20\\", "\\X09\\"]


def many_fields(count: int = 1_000_000) -> str:
    """One segment line of a million "|": a million empty fields."""
    return _HEADER + "NTE" + "|" * count + "\r"


def many_components(count: int = 1_000_000) -> str:
    """One field of a million "^": a million and one empty components."""
    return _HEADER + "NTE|1|L|" + "^" * count + "\r"


def many_escapes(count: int = 100_000) -> str:
    """A hundred thousand escape sequences in a row in one field."""
    return _HEADER + "NTE|1|L|" + "".join(ESCAPES[i % len(ESCAPES)] for i in range(count)) + "\r"


def huge_segment(size: int = LARGE_SIZE) -> str:
    """One OBX segment of 10 MB: an encapsulated PDF in Base64."""
    rng = random.Random(SEED + 3)
    head = "OBX|1|ED|18842-5^Discharge summary^LN||GHH^AP^PDF^Base64^"
    tail = "||||||F"
    payload = base64.b64encode(rng.randbytes((size - len(_HEADER) - len(head) - len(tail)) * 3 // 4)).decode()
    return _HEADER + head + payload + tail + "\r"


def all_workloads(quick: bool = False) -> list[Workload]:
    """The workloads in table order. Quick mode keeps every shape but makes
    the large and adversarial ones ten times smaller."""
    base = 10 if quick else 1
    shapes = [
        ("large", "ORU^R01 of {mb} MB", lambda d: large_message(LARGE_SIZE // d), False),
        ("fields", "one line of {n1m:,} '|'", lambda d: many_fields(1_000_000 // d), True),
        ("components", "one field of {n1m:,} '^'", lambda d: many_components(1_000_000 // d), True),
        ("escapes", "{n100k:,} escape sequences in a row", lambda d: many_escapes(100_000 // d), True),
        ("segment", "one segment of {mb} MB (Base64 PDF)", lambda d: huge_segment(LARGE_SIZE // d), True),
    ]
    names = {"mb": f"{LARGE_SIZE / base / MB:.3g}", "n1m": 1_000_000 // base, "n100k": 100_000 // base}
    out = [
        Workload("ADT", "ADT^A01, about 2 KB", adt_a01()),
        Workload("ORU", "ORU^R01 with 500 OBX, about 60 KB", oru_r01()),
        Workload("MDM", "MDM^T02 with a 45 KB narrative, about 66 KB", mdm_t02()),
    ]
    for key, title, build, adversarial in shapes:
        def scaled(divisor: int, build=build) -> str:
            return build(base * divisor)
        out.append(Workload(key, title.format(**names), build(base), adversarial, scaled))
    return out


if __name__ == "__main__":
    for w in all_workloads():
        print(f"{w.key:12} {w.nbytes:>12,} bytes  {w.text.count(chr(13)):>8,} lines  {w.title}")
