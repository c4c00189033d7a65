// Work items and the worker pool. One FIFO queue serves every queue type;
// the pool starts small and the scheduler adds a worker when every worker
// is blocked while items wait, as the platform's pool grows.
#include "executor_internal.h"

namespace sim::detail {

namespace {

void CheckWorkerReturn(ThreadRecord* r) {
    TlsSlot& t = Tls();
    if (t.irql != PASSIVE_LEVEL)
        Bugcheck(WORKER_THREAD_RETURNED_AT_BAD_IRQL,
                 "a work item routine returned at IRQL " + std::to_string(t.irql));
    if (t.spinLocksHeld != 0) RuleViolation("a work item routine returned holding a spin lock");
    if (r->ownedMutexes != 0) RuleViolation("a work item routine returned holding a mutex");
}

void WorkerBody(ThreadRecord* r) {
    Executor& e = Exec();
    std::unique_lock<std::mutex> lk(Lock());
    for (;;) {
        while (e.workQueue.empty() && !e.stopping) {
            e.idleWorkers.push_back(r);
            Block(lk, r, WaitKind::ServiceQueue, "work queue", false, 0);
        }
        if (e.workQueue.empty()) break;
        PWORK_QUEUE_ITEM item = e.workQueue.front();
        e.workQueue.pop_front();
        Disarm(item, ArmedKind::WorkItem);
        PWORKER_THREAD_ROUTINE routine = item->WorkerRoutine;
        PVOID parameter = item->Parameter;
        // The routine may free or requeue its item: it is not touched after this.
        item->List.Flink = item->List.Blink = nullptr;
        lk.unlock();
        routine(parameter);
        CheckWorkerReturn(r);
        lk.lock();
    }
    --e.workerCount;
    lk.unlock();
    RetireManaged(r);
}

}  // namespace

void SpawnWorker() {
    Executor& e = Exec();
    std::thread t;
    SpawnManaged(ThreadKind::Worker, "worker " + std::to_string(e.workerCount), nullptr, WorkerBody, &t);
    ++e.workerCount;
    e.serviceThreads.push_back(std::move(t));
}

void StartWorkers(int count) {
    for (int i = 0; i < count; ++i) SpawnWorker();
}

}  // namespace sim::detail

using namespace sim::detail;

VOID ExQueueWorkItem(PWORK_QUEUE_ITEM WorkItem, WORK_QUEUE_TYPE QueueType) {
    UNREFERENCED_PARAMETER(QueueType);
    CheckIrqlAtMost(DISPATCH_LEVEL, "ExQueueWorkItem");
    if (WorkItem == nullptr || WorkItem->WorkerRoutine == nullptr)
        sim::Bugcheck(WORKER_INVALID, "ExQueueWorkItem: no item or no routine");
    Current();
    std::lock_guard<std::mutex> guard(Lock());
    Executor& e = Exec();
    if (WorkItem->List.Flink != nullptr)
        sim::Bugcheck(WORKER_INVALID, "ExQueueWorkItem: the item is already queued (or was never initialised)");
    WorkItem->List.Flink = WorkItem->List.Blink = &WorkItem->List;
    e.workQueue.push_back(WorkItem);
    Arm(WorkItem, sizeof(WORK_QUEUE_ITEM), ArmedKind::WorkItem);
    if (!e.idleWorkers.empty()) {
        ThreadRecord* worker = e.idleWorkers.back();
        e.idleWorkers.pop_back();
        Wake(worker, STATUS_SUCCESS);
    }
}
