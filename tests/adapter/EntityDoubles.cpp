#include "tests/adapter/EntityDoubles.h"

#include <xmmintrin.h>

#include <cstring>

namespace kvxtest {

EntityLog& Log()
{
    static EntityLog log;
    return log;
}

namespace {
template <typename T, typename... Args>
T* Make(Args... args)
{
    T* object = new (NonPagedPoolNx, TEST_ENTITY_TAG) T(args...);
    object->NonDelegatingAddRef();
    return object;
}
}  // namespace

TestEntity* TestEntity::New(ULONG id, LONG type) { return Make<TestEntity>(id, type); }
TestSelector* TestSelector::New(ULONG id) { return Make<TestSelector>(id); }
TestHal* TestHal::New() { return Make<TestHal>(); }
TestNode* TestNode::New() { return Make<TestNode>(); }
TestClientProcessor* TestClientProcessor::New() { return Make<TestClientProcessor>(); }

NTSTATUS TestEntity::NonDelegatingQueryInterface(REFIID iid, PVOID* ppvObject)
{
    if (m_bBranch && IsEqualGUID(iid, IID_ISelectorBranchControl)) {
        return ReturnInterface(static_cast<ISelectorBranchControl*>(this), ppvObject);
    }
    if (m_bTerminal && IsEqualGUID(iid, IID_ITerminalControl)) {
        return ReturnInterface(static_cast<ITerminalControl*>(this), ppvObject);
    }
    if (m_bMultiOutput && IsEqualGUID(iid, IID_IMultiOutputTerminal)) {
        return ReturnInterface(static_cast<IMultiOutputTerminal*>(this), ppvObject);
    }
    return TopologyNode::NonDelegatingQueryInterface(iid, ppvObject);
}

NTSTATUS TestEntity::GetJackDescriptions(ULONG bytes, JackRecord* records, ULONG)
{
    if (records == nullptr || bytes == 0 || m_Jacks.empty()) {
        return STATUS_INVALID_PARAMETER;
    }
    const size_t n = std::min<size_t>(bytes, m_Jacks.size() * sizeof(JackRecord));
    std::memcpy(records, m_Jacks.data(), n);
    return STATUS_SUCCESS;
}

NTSTATUS TestSelector::NonDelegatingQueryInterface(REFIID iid, PVOID* ppvObject)
{
    if (IsEqualGUID(iid, IID_ISelectorControl)) {
        return ReturnInterface(static_cast<ISelectorControl*>(this), ppvObject);
    }
    return TopologyNode::NonDelegatingQueryInterface(iid, ppvObject);
}

NTSTATUS TestSelector::AddBranchControl(ISelectorBranchControl* branch)
{
    // The branch control is an entity: its id tells which.
    PVOID raw = nullptr;
    if (NT_SUCCESS(branch->QueryInterface(IID_ITopologyNode, &raw))) {
        Log().BranchAdded.push_back(static_cast<ITopologyNode*>(raw)->GetId());
        static_cast<ITopologyNode*>(raw)->Release();
    }
    return STATUS_SUCCESS;
}

NTSTATUS TestNode::NonDelegatingQueryInterface(REFIID iid, PVOID* ppvObject)
{
    if (IsEqualGUID(iid, IID_IProcessingNode)) {
        return ReturnInterface(static_cast<IProcessingNode*>(this), ppvObject);
    }
    return UnknownBase::NonDelegatingQueryInterface(iid, ppvObject);
}

NTSTATUS TestNode::Process(const WaveFormatRecord* format, PVOID data, ULONG frames)
{
    m_Frames.push_back(frames);
    m_Data.push_back(data);
    m_Mxcsr = _mm_getcsr();
    if (m_FailAtCall != 0 && m_Frames.size() >= m_FailAtCall) {
        return STATUS_DEVICE_DATA_ERROR;
    }
    const bool pcm = format->Format.wFormatTag == WAVE_FORMAT_PCM ||
                     (format->Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE && format->SubFormat.Data1 == 1);
    if (pcm && m_Scale != 1.0f) {
        auto** channels = static_cast<float**>(data);
        for (ULONG c = 0; c < format->Format.nChannels; ++c) {
            for (ULONG i = 0; i < frames; ++i) channels[c][i] *= m_Scale;
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS TestClientProcessor::NonDelegatingQueryInterface(REFIID iid, PVOID* ppvObject)
{
    return UnknownBase::NonDelegatingQueryInterface(iid, ppvObject);
}

}  // namespace kvxtest
