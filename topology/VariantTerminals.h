// Terminals of the V4 and V5 chips, which ask the device nothing: no jack query, no output list,
// no stored output. The input terminals are the V3 chip's; the output terminal has one output of
// the kind its terminal type gives, with one output-terminal entity.
#pragma once

#include "topology/Terminals.h"
#include "topology/V3Terminals.h"

// A single-output terminal without jacks.
class JacklessOutputTerminal : public OutputTerminal {
public:
    NTSTATUS Init(IAudioHal* hal) override;

protected:
    JacklessOutputTerminal(PUNKNOWN pOuterUnknown, ULONG ulProvisionalId, ULONG ulEntityTag)
        : OutputTerminal(pOuterUnknown, ulProvisionalId), m_ulEntityTag(ulEntityTag)
    {
    }

private:
    ULONG m_ulEntityTag;
};

class V4InputTerminal : public V3InputTerminal {
public:
    V4InputTerminal(PUNKNOWN pOuterUnknown, ULONG ulProvisionalId);
};

class V5InputTerminal : public V3InputTerminal {
public:
    V5InputTerminal(PUNKNOWN pOuterUnknown, ULONG ulProvisionalId);
};

class V4OutputTerminal : public JacklessOutputTerminal {
public:
    V4OutputTerminal(PUNKNOWN pOuterUnknown, ULONG ulProvisionalId);
};

class V5OutputTerminal : public JacklessOutputTerminal {
public:
    V5OutputTerminal(PUNKNOWN pOuterUnknown, ULONG ulProvisionalId);
};
