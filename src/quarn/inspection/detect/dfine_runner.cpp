// quarn.inspection.detect.dfine_runner: object detection with a D-FINE model
// exported to ONNX, run through ONNX Runtime.
//
// Read top to bottom: the module's texts and interned names, the functions of
// the namespace (probes, provider choice, the detector's methods, the shared
// detector), the module body that binds them, and the loading frame that
// creates the module once per process and runs the body.
#include <Python.h>

#include <cxxabi.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <utility>

#include "function_object.hpp"
#include "half_float.hpp"
#include "owned_ref.hpp"
#include "py_calls.hpp"
#include "resample_bilinear.hpp"

namespace quarn {
namespace {

constexpr const char kFullName[] = "quarn.inspection.detect.dfine_runner";
// The code objects' file: the module's own name, not the C++ file, whose
// lines have nothing to do with the statement lines tracebacks report.
constexpr const char kSourceFile[] = "src/quarn/inspection/detect/dfine_runner";

// ---------------------------------------------------------------------------
// Texts

constexpr const char kModuleDoc[] =
    "D-FINE object detection through ONNX Runtime.\n"
    "\n"
    "The shared detection back end of the inspection package: it produces boxes\n"
    "with a class and a score and judges nothing; the package's `detect`\n"
    "inspector decides OK or NG. Like the PatchCore backbone module, it loads a\n"
    "model once and keeps it in a module-level cache.\n"
    "\n"
    "Design decisions:\n"
    "\n"
    "1. The detector runs from an ONNX export through ONNX Runtime. It replaced\n"
    "   a YOLO detector run through the `ultralytics` package, which pulls in the\n"
    "   full OpenCV build (conflicting with the headless one) and moves numpy to\n"
    "   an arbitrary version; installing it without its dependencies cannot be\n"
    "   expressed in package metadata, and the package must install with a\n"
    "   single `pip install quarn`. So this module depends only on onnxruntime,\n"
    "   numpy, Pillow and OpenCV, never on a detection framework.\n"
    "2. The detector is a per-site asset: what is detected differs from site to\n"
    "   site, and the vendor fine-tunes the model and ships it as an ONNX file.\n"
    "   Model files are found by name through `quarn.weights`; none is built in.\n"
    "3. The ONNX graph contains the model's post-processing: `labels`, `boxes`\n"
    "   and `scores` come out in the original image's coordinates. NMS and the\n"
    "   mapping back to the original image are not redone in numpy; any such\n"
    "   re-implementation would be a source of numerical mismatch.\n"
    "4. Labels are 0-based indices into an 80-class table, not COCO's 91\n"
    "   category ids: the deploy-mode post-processor returns labels before the\n"
    "   remap step, so nothing is remapped and `COCO80` is 0-based. A wrong\n"
    "   table would shift every class name silently.\n";

constexpr const char kDetectErrorDoc[] = "검출기 로드/추론 오류 (모델 파일 부재·onnxruntime 미설치 등).";

constexpr const char kDetectionDoc[] =
    "검출 결과 1건.\n"
    "\n"
    "xyxy 는 원본 이미지 픽셀 좌표(정수)다. obb 는 회전 박스(꼭짓점 4개, float 8개)로,\n"
    "D-FINE 은 DETR 계열이라 축 정렬 박스만 내므로 항상 None 이다. 패키지의 crop\n"
    "단계가 obb 로 분기하고 None 이면 축 정렬 박스로 되돌아가므로 필드를 둔다.\n"
    "회전 정렬이 정말 필요해지면 이 검출기를 늘리지 말고, 회전 박스 검출기를\n"
    "플러그인으로 따로 더한다.";

constexpr const char kDetectorDoc[] = "D-FINE ONNX 래퍼. 무거우므로 get_detector() 로 1회만 생성한다.";

constexpr const char kIsAvailableDoc[] = "모델 파일이 있는지만 본다(doctor·UI 표시용). 로드하지 않는다.";
constexpr const char kProvidersDoc[] = "patchcore/backbone 와 같은 규칙. 실제 provider 는 세션 생성 뒤에 읽는다.";
constexpr const char kPreprocessDoc[] =
    "BGR(또는 grey) 이미지 → 네트워크 입력 두 개.\n"
    "\n"
    "Returns the image tensor (float32, 1 x 3 x 640 x 640, planes R, G, B,\n"
    "values k / 255 of the resized 8-bit pixels, C-contiguous) and\n"
    "orig_target_sizes (int64 [[width, height]] of the input image).\n"
    "\n"
    "The image is stretched (no letterbox) with Pillow's BILINEAR resize, the\n"
    "filter the model was trained and evaluated with: its support widens when\n"
    "shrinking, so reductions are antialiased. OpenCV's INTER_LINEAR and\n"
    "INTER_AREA give other pixels and change the detections. No mean/std\n"
    "normalisation: the model expects plain 0..1 inputs.";
constexpr const char kDetectDoc[] =
    "이미지 1장 → 검출 리스트. conf 미만은 버린다.\n"
    "\n"
    "iou 는 받기만 하고 쓰지 않는다. D-FINE 은 DETR 계열이라 NMS 가 없고(쿼리가\n"
    "처음부터 중복 없이 나온다) 후처리는 그래프 안에 있다. 호출하는 detect 검사기의\n"
    "설정 스키마를 바꾸지 않으려고 인자만 남겨 둔다.";
constexpr const char kGetDetectorDoc[] = "전역 싱글턴 검출기를 돌려준다. 무거운 모델 로드는 1회만 한다.";
constexpr const char kAvailableDoc[] = "검출기를 쓸 수 있는지(진단·UI 표시용).";

constexpr const char* const kCoco80[] = {
    "person",        "bicycle",      "car",           "motorcycle",    "airplane",     "bus",
    "train",         "truck",        "boat",          "traffic light", "fire hydrant", "stop sign",
    "parking meter", "bench",        "bird",          "cat",           "dog",          "horse",
    "sheep",         "cow",          "elephant",      "bear",          "zebra",        "giraffe",
    "backpack",      "umbrella",     "handbag",       "tie",           "suitcase",     "frisbee",
    "skis",          "snowboard",    "sports ball",   "kite",          "baseball bat", "baseball glove",
    "skateboard",    "surfboard",    "tennis racket", "bottle",        "wine glass",   "cup",
    "fork",          "knife",        "spoon",         "bowl",          "banana",       "apple",
    "sandwich",      "orange",       "broccoli",      "carrot",        "hot dog",      "pizza",
    "donut",         "cake",         "chair",         "couch",         "potted plant", "bed",
    "dining table",  "toilet",       "tv",            "laptop",        "mouse",        "remote",
    "keyboard",      "cell phone",   "microwave",     "oven",          "toaster",      "sink",
    "refrigerator",  "book",         "clock",         "vase",          "scissors",     "teddy bear",
    "hair drier",    "toothbrush",
};
static_assert(sizeof(kCoco80) / sizeof(kCoco80[0]) == 80, "the class table has 80 entries");

// ---------------------------------------------------------------------------
// Names and constants, made once by the exec step and reused by every call.

#define QUARN_NAMES(X)                                                                                        \
    X(np) X(cv2) X(Image) X(weights) X(logger) X(logging) X(threading) X(dataclass) X(Detection)              \
    X(DetectError) X(DfineDetector) X(COCO80) X(DEFAULT_WEIGHTS) X(_MODULE) X(_INPUT_SIZE) X(_CACHE) X(_LOCK) \
    X(_providers) X(is_available) X(get_detector) X(available) X(shape) X(ndim) X(cvtColor) X(COLOR_BGR2RGB) \
    X(COLOR_GRAY2RGB) X(fromarray) X(resize) X(BILINEAR) X(asarray) X(float32) X(float16) X(transpose)       \
    X(ascontiguousarray) X(array) X(int64) X(ndarray) X(size) X(astype) X(session) X(run) X(names) X(get)     \
    X(_image_dtype) X(_preprocess) X(model) X(provider) X(device) X(get_providers) X(get_inputs) X(type)     \
    X(InferenceSession) X(get_available_providers) X(warning) X(info) X(model_path) X(WeightsNotFound)       \
    X(name) X(startswith) X(getLogger) X(Lock) X(onnxruntime) X(__enter__) X(__exit__) X(__builtins__)      \
    X(__loader__) X(__file__) X(__package__) X(__path__) X(loader) X(origin) X(parent)                       \
    X(submodule_search_locations) X(__module__) X(__qualname__) X(__name__) X(__spec__) X(_initializing)     \
    X(empty) X(__version__)

struct Names {
#define QUARN_DECLARE(n) PyObject* n = nullptr;
    QUARN_NAMES(QUARN_DECLARE)
#undef QUARN_DECLARE
};
Names S;

struct Constants {
    PyObject* cpu;            // "cpu"
    PyObject* cuda;           // "cuda"
    PyObject* auto_;          // "auto"
    PyObject* cpu_provider;   // "CPUExecutionProvider"
    PyObject* cuda_provider;  // "CUDAExecutionProvider"
    PyObject* gpu_prefixes;   // ("CUDA", "Tensorrt")
    PyObject* float16_text;   // "float16"
    PyObject* cuda_missing;   // warning text
    PyObject* fallback_fmt;   // warning format
    PyObject* loaded_fmt;     // info format
    PyObject* ort_missing;    // DetectError text
    PyObject* bad_input;      // DetectError text
    PyObject* inference_prefix;
    PyObject* k255;           // 255.0
    PyObject* zero;           // 0
    PyObject* three;          // 3
    PyObject* shape_slice;    // slice(None, 2)
    PyObject* chw_axes;       // (2, 0, 1)
    PyObject* batch_index;    // (None, Ellipsis)
    PyObject* kw_dtype;       // ("dtype",)
    PyObject* kw_copy_false;  // ("copy",)
    PyObject* kw_providers;   // ("providers",)
    PyObject* kw_detection;   // ("cls_id", "cls_name", "conf", "xyxy")
    PyObject* feed_images;    // "images"
    PyObject* feed_sizes;     // "orig_target_sizes"
};
Constants C;

bool make_names() {
#define QUARN_INTERN(n) \
    if (!S.n && !(S.n = PyUnicode_InternFromString(#n))) return false;
    QUARN_NAMES(QUARN_INTERN)
#undef QUARN_INTERN
    return true;
}

bool make_constants() {
    if (C.cpu) return true;  // made by an earlier, failed import
    C.cpu = PyUnicode_InternFromString("cpu");
    C.cuda = PyUnicode_InternFromString("cuda");
    C.auto_ = PyUnicode_InternFromString("auto");
    C.cpu_provider = PyUnicode_InternFromString("CPUExecutionProvider");
    C.cuda_provider = PyUnicode_InternFromString("CUDAExecutionProvider");
    C.gpu_prefixes = Py_BuildValue("(ss)", "CUDA", "Tensorrt");
    C.float16_text = PyUnicode_InternFromString("float16");
    C.cuda_missing = PyUnicode_FromString("CUDA requested but onnxruntime-gpu is not installed; running on CPU");
    C.fallback_fmt = PyUnicode_FromString("%s requested but %s is in use \u2014 CUDA runtime (cuBLAS/cuDNN) may be missing");
    C.loaded_fmt = PyUnicode_FromString("D-FINE ONNX loaded: %s (%s)");
    C.ort_missing = PyUnicode_FromString("onnxruntime is required. Reinstall: pip install quarn");
    C.bad_input = PyUnicode_FromString("detect input is empty or not an ndarray");
    C.inference_prefix = PyUnicode_FromString("detect inference failed: ");
    C.k255 = PyFloat_FromDouble(255.0);
    C.zero = PyLong_FromLong(0);
    C.three = PyLong_FromLong(3);
    {
        OwnedRef two = OwnedRef::steal(PyLong_FromLong(2));
        C.shape_slice = two ? PySlice_New(Py_None, two.get(), Py_None) : nullptr;
    }
    C.chw_axes = Py_BuildValue("(iii)", 2, 0, 1);
    C.batch_index = PyTuple_Pack(2, Py_None, Py_Ellipsis);
    C.kw_dtype = Py_BuildValue("(s)", "dtype");
    C.kw_copy_false = Py_BuildValue("(s)", "copy");
    C.kw_providers = Py_BuildValue("(s)", "providers");
    C.kw_detection = Py_BuildValue("(ssss)", "cls_id", "cls_name", "conf", "xyxy");
    C.feed_images = PyUnicode_InternFromString("images");
    C.feed_sizes = PyUnicode_InternFromString("orig_target_sizes");
    PyObject* const* all = reinterpret_cast<PyObject* const*>(&C);
    for (size_t i = 0; i < sizeof(C) / sizeof(PyObject*); ++i) {
        if (!all[i]) {
            C = Constants{};  // leaks the few made; only on memory exhaustion at import
            return false;
        }
    }
    return true;
}

// ---------------------------------------------------------------------------
// Process-wide state of the loading frame.

int64_t g_interpreter = -1;     // the one interpreter the module may live in
PyObject* g_module = nullptr;   // strong: the module whose exec step started and did not fail

OwnedRef global(Frame& frame, PyObject* name) { return get_global(frame.globals, name); }

OwnedRef import_onnxruntime() { return OwnedRef::steal(PyImport_Import(S.onnxruntime)); }

// `logger.<level>(*args)` with the logger looked up now.
bool log(Frame& site, PyObject* level, std::initializer_list<PyObject*> args) {
    OwnedRef logger = global(site, S.logger);
    if (!logger) return false;
    PyObject* argv[4] = {logger.get()};
    size_t n = 1;
    for (PyObject* a : args) argv[n++] = a;
    OwnedRef r = OwnedRef::steal(PyObject_VectorcallMethod(level, argv, n, nullptr));
    return bool(r);
}

// `logger.<level>`, looked up before the call's arguments are evaluated.
OwnedRef logger_method(Frame& site, PyObject* level) {
    OwnedRef logger = global(site, S.logger);
    return logger ? get_attr(logger.get(), level) : OwnedRef();
}

// ---------------------------------------------------------------------------
// Probes and provider choice

PyObject* is_available_impl(PyObject* const* args, Frame& site) {
    PyObject* model = args[0];
    site.at(4);
    OwnedRef weights = global(site, S.weights);
    OwnedRef key = weights ? global(site, S._MODULE) : OwnedRef();
    if (!key) return nullptr;
    return call_method(weights.get(), S.available, key.get(), model).release();
}

PyObject* providers_impl(PyObject* const* args, Frame& site) {
    PyObject* device = args[0];
    site.at(2);
    OwnedRef ort = import_onnxruntime();
    if (!ort) return nullptr;
    site.at(4);
    int is_cpu = compare(device, C.cpu, Py_EQ);
    if (is_cpu < 0) return nullptr;
    if (is_cpu) return Py_BuildValue("[O]", C.cpu_provider);
    site.at(6);
    OwnedRef offered = call_method(ort.get(), S.get_available_providers);
    if (!offered) return nullptr;
    OwnedRef offered_set = OwnedRef::steal(PySet_New(offered.get()));
    if (!offered_set) return nullptr;
    int has_cuda = PySet_Contains(offered_set.get(), C.cuda_provider);
    if (has_cuda < 0) return nullptr;
    if (has_cuda) return Py_BuildValue("[OO]", C.cuda_provider, C.cpu_provider);
    site.at(9);
    int is_cuda = compare(device, C.cuda, Py_EQ);
    if (is_cuda < 0) return nullptr;
    if (is_cuda) {
        site.at(10);
        if (!log(site, S.warning, {C.cuda_missing})) return nullptr;
    }
    return Py_BuildValue("[O]", C.cpu_provider);
}

// ---------------------------------------------------------------------------
// DfineDetector.__init__

// Resolves the model file; a missing one becomes DetectError(str(exc)) from exc.
OwnedRef resolve_model(PyObject* model, Frame& site) {
    site.at(6);
    OwnedRef weights = global(site, S.weights);
    OwnedRef key = weights ? global(site, S._MODULE) : OwnedRef();
    if (!key) return {};
    OwnedRef path = call_method(weights.get(), S.model_path, key.get(), model);
    if (path) return path;
    CaughtError caught(site);
    site.at(7);
    OwnedRef weights_now = global(site, S.weights);
    OwnedRef not_found = weights_now ? get_attr(weights_now.get(), S.WeightsNotFound) : OwnedRef();
    if (!not_found) return {};
    if (!caught.matches(not_found.get())) {
        caught.reraise();
        return {};
    }
    site.at(8);
    OwnedRef message = OwnedRef::steal(PyObject_Str(caught.value()));
    OwnedRef detect_error = message ? global(site, S.DetectError) : OwnedRef();
    if (detect_error) caught.raise_from(detect_error.get(), message.get());
    return {};
}

// The provider in use and the device it means ("cuda" for CUDA/TensorRT).
// Each use reads `self.session` and `self.provider` back, as the statements do.
bool read_provider(PyObject* self, Frame& site) {
    site.at(14);
    OwnedRef session = get_attr(self, S.session);
    OwnedRef actual = session ? call_method(session.get(), S.get_providers) : OwnedRef();
    if (!actual) return false;
    site.at(15);
    int nonempty = PyObject_IsTrue(actual.get());
    if (nonempty < 0) return false;
    OwnedRef provider =
        nonempty ? OwnedRef::steal(PySequence_GetItem(actual.get(), 0)) : OwnedRef::borrow(C.cpu_provider);
    if (!provider || PyObject_SetAttr(self, S.provider, provider.get()) < 0) return false;
    site.at(16);
    OwnedRef shown = get_attr(self, S.provider);
    OwnedRef on_gpu = shown ? call_method(shown.get(), S.startswith, C.gpu_prefixes) : OwnedRef();
    int gpu = on_gpu ? PyObject_IsTrue(on_gpu.get()) : -1;
    if (gpu < 0) return false;
    return PyObject_SetAttr(self, S.device, gpu ? C.cuda : C.cpu) == 0;
}

PyObject* init_impl(PyObject* const* args, Frame& site) {
    PyObject* self = args[0];
    PyObject* model = args[1];
    PyObject* device = args[2];

    site.at(2);
    OwnedRef ort = import_onnxruntime();
    if (!ort) {
        CaughtError caught(site);
        if (!caught.matches(PyExc_ImportError)) {
            caught.reraise();
            return nullptr;
        }
        site.at(4);
        OwnedRef detect_error = global(site, S.DetectError);
        if (detect_error) caught.raise_from(detect_error.get(), C.ort_missing);
        return nullptr;
    }
    OwnedRef path = resolve_model(model, site);
    if (!path) return nullptr;

    site.at(10);
    if (PyObject_SetAttr(self, S.model, model) < 0) return nullptr;
    site.at(11);
    OwnedRef providers_fn = global(site, S._providers);
    OwnedRef requested = providers_fn ? call(providers_fn.get(), device) : OwnedRef();
    if (!requested) return nullptr;

    site.at(12);
    OwnedRef session_type = get_attr(ort.get(), S.InferenceSession);
    OwnedRef path_text = session_type ? OwnedRef::steal(PyObject_Str(path.get())) : OwnedRef();
    if (!path_text) return nullptr;
    OwnedRef session = call_kw(session_type.get(), {path_text.get()}, C.kw_providers, {requested.get()});
    if (!session || PyObject_SetAttr(self, S.session, session.get()) < 0) return nullptr;

    if (!read_provider(self, site)) return nullptr;

    site.at(17);
    OwnedRef first = OwnedRef::steal(PySequence_GetItem(requested.get(), 0));
    OwnedRef provider = first ? get_attr(self, S.provider) : OwnedRef();
    int differs = provider ? compare(first.get(), provider.get(), Py_NE) : -1;
    if (differs < 0) return nullptr;
    if (differs) {
        site.at(18);
        OwnedRef warning = logger_method(site, S.warning);
        OwnedRef requested_first = warning ? OwnedRef::steal(PySequence_GetItem(requested.get(), 0)) : OwnedRef();
        OwnedRef in_use = requested_first ? get_attr(self, S.provider) : OwnedRef();
        if (!in_use || !call(warning.get(), C.fallback_fmt, requested_first.get(), in_use.get())) return nullptr;
    }
    site.at(24);
    OwnedRef info = logger_method(site, S.info);
    OwnedRef file_name = info ? get_attr(path.get(), S.name) : OwnedRef();
    OwnedRef in_use = file_name ? get_attr(self, S.provider) : OwnedRef();
    if (!in_use || !call(info.get(), C.loaded_fmt, file_name.get(), in_use.get())) return nullptr;

    site.at(25);
    OwnedRef coco = global(site, S.COCO80);
    OwnedRef names = OwnedRef::steal(PyDict_New());
    OwnedRef it = coco && names ? OwnedRef::steal(PyObject_GetIter(coco.get())) : OwnedRef();
    if (!it) return nullptr;
    for (long index = 0;; ++index) {
        OwnedRef entry = OwnedRef::steal(PyIter_Next(it.get()));
        if (!entry) break;
        OwnedRef key = OwnedRef::steal(PyLong_FromLong(index));
        if (!key || PyDict_SetItem(names.get(), key.get(), entry.get()) < 0) return nullptr;
    }
    if (PyErr_Occurred() || PyObject_SetAttr(self, S.names, names.get()) < 0) return nullptr;

    site.at(26);
    OwnedRef session_now = get_attr(self, S.session);
    OwnedRef inputs = session_now ? call_method(session_now.get(), S.get_inputs) : OwnedRef();
    OwnedRef first_input = inputs ? OwnedRef::steal(PySequence_GetItem(inputs.get(), 0)) : OwnedRef();
    OwnedRef type_text = first_input ? get_attr(first_input.get(), S.type) : OwnedRef();
    if (!type_text) return nullptr;
    site.at(27);
    int half = PySequence_Contains(type_text.get(), C.float16_text);
    OwnedRef np = half >= 0 ? global(site, S.np) : OwnedRef();
    OwnedRef dtype = np ? get_attr(np.get(), half ? S.float16 : S.float32) : OwnedRef();
    if (!dtype || PyObject_SetAttr(self, S._image_dtype, dtype.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// DfineDetector._preprocess

// What the library path reads from the libraries.  The fused path stands in
// for those calls only while each still holds the object seen at import, so
// that a patched function or a rebound constant takes effect at once.
enum class Owner { cv2, image, image_class, np };
struct WatchedName {
    Owner owner;
    const char* name;
    long constant;  // the value the kernel reproduces, for the codes it stands in for; else -1
};
constexpr WatchedName kWatchedNames[] = {
    {Owner::cv2, "cvtColor", -1},
    {Owner::cv2, "COLOR_BGR2RGB", 4},
    {Owner::cv2, "COLOR_GRAY2RGB", 8},
    {Owner::image, "fromarray", -1},
    {Owner::image, "frombuffer", -1},
    {Owner::image, "BILINEAR", 2},
    {Owner::image, "Image", -1},
    {Owner::image_class, "resize", -1},
    {Owner::image_class, "tobytes", -1},
    {Owner::image_class, "__array_interface__", -1},
    {Owner::np, "asarray", -1},
    {Owner::np, "float32", -1},
    {Owner::np, "transpose", -1},
    {Owner::np, "ascontiguousarray", -1},
    {Owner::np, "int64", -1},
    {Owner::np, "array", -1},
};
constexpr size_t kWatchedCount = sizeof(kWatchedNames) / sizeof(kWatchedNames[0]);

struct Watched {
    PyObject* owner = nullptr;
    PyObject* name = nullptr;
    PyObject* seen = nullptr;
};

// The libraries bound by the module body, kept to recognise them later.  The
// fused native path stands in for their calls only while the module still
// uses these very objects, so that rebinding one takes effect at once.
struct BoundLibraries {
    PyObject* cv2 = nullptr;
    PyObject* image = nullptr;
    PyObject* np = nullptr;
    PyObject* ndarray = nullptr;
    PyObject* float16 = nullptr;
    PyObject* empty = nullptr;  // np.empty as imported: the library path never calls it
    PassOrder pass_order = PassOrder::horizontal_first;
    bool fused_preprocess = false;  // the Pillow release is known and every watched name was found
    Watched watched[kWatchedCount];
};
BoundLibraries g_bound;  // strong references for the life of the process

// Releases a buffer export on every way out.
struct BufferView {
    Py_buffer view{};
    bool held = false;
    bool acquire(PyObject* obj, int flags) {
        held = PyObject_GetBuffer(obj, &view, flags) == 0;
        return held;
    }
    ~BufferView() {
        if (held && may_touch_refcounts()) PyBuffer_Release(&view);
    }
};

// Whether the writable export `view` is a C-contiguous array of exactly
// `shape`, of native items with struct format `format` (one character).
bool is_exact_output(const Py_buffer& view, char format, const Py_ssize_t* shape, int ndim) {
    if (view.ndim != ndim || view.readonly || !view.format || view.format[0] != format || view.format[1] != '\0')
        return false;
    for (int i = 0; i < ndim; ++i)
        if (view.shape[i] != shape[i]) return false;
    return PyBuffer_IsContiguous(&view, 'C') == 1;
}

// A new array from the np.empty seen at import, returned only when it is an
// ndarray the native code may fill: anything else leaves an empty reference
// without an exception, and the caller takes the library path.
OwnedRef empty_for_native(PyObject* dtype, char format, const Py_ssize_t* shape, int ndim, BufferView& out) {
    OwnedRef dims = OwnedRef::steal(PyTuple_New(ndim));
    if (!dims) return {};
    for (int i = 0; i < ndim; ++i) {
        PyObject* n = PyLong_FromSsize_t(shape[i]);
        if (!n) return {};
        PyTuple_SET_ITEM(dims.get(), i, n);
    }
    OwnedRef array = g_bound.empty ? call(g_bound.empty, dims.get(), dtype) : OwnedRef();
    if (!array) return {};
    if (Py_TYPE(array.get()) == reinterpret_cast<PyTypeObject*>(g_bound.ndarray) &&
        out.acquire(array.get(), PyBUF_WRITABLE | PyBUF_FORMAT | PyBUF_STRIDES) &&
        is_exact_output(out.view, format, shape, ndim))
        return array;
    PyErr_Clear();
    return {};
}

// Whether every attribute the library path would read still holds the object
// seen at import (a few dictionary lookups and identity tests).
bool libraries_unchanged() {
    if (!g_bound.fused_preprocess) return false;
    for (const Watched& w : g_bound.watched) {
        OwnedRef now = get_attr(w.owner, w.name);
        if (now.get() != w.seen) {
            PyErr_Clear();
            return false;
        }
    }
    return true;
}

bool is_bound(Frame& site, PyObject* name, PyObject* expected) {
    PyObject* value = PyDict_GetItemWithError(site.globals, name);
    return value && value == expected;
}

// The side of the network input, when it is one the kernel can produce.
int fused_input_size(Frame& site) {
    PyObject* value = PyDict_GetItemWithError(site.globals, S._INPUT_SIZE);
    if (!value || !PyLong_CheckExact(value)) return 0;
    long side = PyLong_AsLong(value);
    if (side == -1 && PyErr_Occurred()) return 0;
    return side >= 1 && side <= 16384 ? static_cast<int>(side) : 0;
}

uint64_t magnitude(int64_t v) { return v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v); }

// An 8-bit BGR(A) or grey image the kernel reads in place, or false.
bool image_view_of(const Py_buffer& view, ImageView& out) {
    if (view.itemsize != 1 || !view.format || view.format[0] != 'B' || view.format[1] != '\0') return false;
    if (view.ndim != 2 && !(view.ndim == 3 && (view.shape[2] == 3 || view.shape[2] == 4))) return false;
    if (view.shape[0] < 1 || view.shape[1] < 1) return false;
    out.data = static_cast<const uint8_t*>(view.buf);
    out.height = view.shape[0];
    out.width = view.shape[1];
    out.channels = view.ndim == 3 ? static_cast<int>(view.shape[2]) : 1;
    out.row_stride = view.strides[0];
    out.col_stride = view.strides[1];
    out.chan_stride = view.ndim == 3 ? view.strides[2] : 0;
    // Rows closer together than a row is long: OpenCV refuses some of these,
    // so the library path decides.
    if (out.height > 1 && magnitude(out.row_stride) / static_cast<uint64_t>(out.width) < magnitude(out.col_stride))
        return false;
    return true;
}

// The library path's result computed in one native pass, or an empty
// reference without an exception when the image is outside the kernel's domain.
OwnedRef preprocess_fused(PyObject* image, Frame& site) {
    if (!g_bound.ndarray || Py_TYPE(image) != reinterpret_cast<PyTypeObject*>(g_bound.ndarray)) return {};
    if (!is_bound(site, S.cv2, g_bound.cv2) || !is_bound(site, S.Image, g_bound.image) ||
        !is_bound(site, S.np, g_bound.np) || !libraries_unchanged()) {
        PyErr_Clear();
        return {};
    }
    const int side = fused_input_size(site);
    if (side == 0) {
        PyErr_Clear();
        return {};
    }
    BufferView input;
    ImageView src{};
    if (!input.acquire(image, PyBUF_RECORDS_RO)) {
        PyErr_Clear();
        return {};
    }
    if (!image_view_of(input.view, src)) return {};

    const Py_ssize_t shape[] = {1, 3, side, side};
    OwnedRef float32 = get_attr(g_bound.np, S.float32);
    BufferView output;
    OwnedRef tensor = float32 ? empty_for_native(float32.get(), 'f', shape, 4, output) : OwnedRef();
    if (!tensor) return {};

    // Pixels are processed without the GIL, so threads sharing a detector
    // preprocess in parallel; the buffer exports keep both arrays alive.
    // C++ exceptions stop here: whatever the kernel declines or fails at
    // (sides beyond its range, memory), the library path decides.
    bool done = false;
    float* dst = static_cast<float*>(output.view.buf);
    PreprocessOptions options;
    options.pass_order = g_bound.pass_order;
    run_without_gil([&] {
        try {
            done = preprocess_bgr_to_chw(src, side, dst, options);
        } catch (abi::__forced_unwind&) {
            throw;  // a thread being ended goes on unwinding
        } catch (...) {
            done = false;
        }
    });
    if (!done) return {};
    OwnedRef int64 = get_attr(g_bound.np, S.int64);
    OwnedRef wh = int64 ? OwnedRef::steal(Py_BuildValue("[[nn]]", src.width, src.height)) : OwnedRef();
    OwnedRef array = wh ? get_attr(g_bound.np, S.array) : OwnedRef();
    OwnedRef sizes = array ? call_kw(array.get(), {wh.get()}, C.kw_dtype, {int64.get()}) : OwnedRef();
    return sizes ? OwnedRef::steal(PyTuple_Pack(2, tensor.get(), sizes.get())) : OwnedRef();
}

PyObject* preprocess_impl(PyObject* const* args, Frame& site) {
    PyObject* image = args[1];

    site.at(15);
    OwnedRef fused = preprocess_fused(image, site);
    if (fused || PyErr_Occurred()) return fused.release();

    site.at(16);
    OwnedRef shape = get_attr(image, S.shape);
    OwnedRef head = shape ? OwnedRef::steal(PyObject_GetItem(shape.get(), C.shape_slice)) : OwnedRef();
    OwnedRef hw[2];
    if (!head || !unpack(head.get(), hw, 2)) return nullptr;

    site.at(17);
    OwnedRef cv2 = global(site, S.cv2);
    OwnedRef ndim = cv2 ? get_attr(image, S.ndim) : OwnedRef();
    int colour = ndim ? compare(ndim.get(), C.three, Py_EQ) : -1;
    if (colour < 0) return nullptr;
    site.at(colour ? 18 : 20);
    OwnedRef code = get_attr(cv2.get(), colour ? S.COLOR_BGR2RGB : S.COLOR_GRAY2RGB);
    OwnedRef rgb = code ? call_method(cv2.get(), S.cvtColor, image, code.get()) : OwnedRef();
    if (!rgb) return nullptr;

    site.at(21);
    OwnedRef image_mod = global(site, S.Image);
    OwnedRef size = image_mod ? global(site, S._INPUT_SIZE) : OwnedRef();
    OwnedRef wrapped = size ? call_method(image_mod.get(), S.fromarray, rgb.get()) : OwnedRef();
    OwnedRef target = wrapped ? OwnedRef::steal(PyTuple_Pack(2, size.get(), size.get())) : OwnedRef();
    OwnedRef bilinear = target ? get_attr(image_mod.get(), S.BILINEAR) : OwnedRef();
    OwnedRef resized = bilinear ? call_method(wrapped.get(), S.resize, target.get(), bilinear.get()) : OwnedRef();
    if (!resized) return nullptr;

    site.at(22);
    OwnedRef np = global(site, S.np);
    OwnedRef float32 = np ? get_attr(np.get(), S.float32) : OwnedRef();
    OwnedRef asarray = float32 ? get_attr(np.get(), S.asarray) : OwnedRef();
    OwnedRef pixels = asarray ? call_kw(asarray.get(), {resized.get()}, C.kw_dtype, {float32.get()}) : OwnedRef();
    OwnedRef scaled = pixels ? OwnedRef::steal(PyNumber_TrueDivide(pixels.get(), C.k255)) : OwnedRef();
    if (!scaled) return nullptr;

    site.at(23);
    OwnedRef chw = call_method(np.get(), S.transpose, scaled.get(), C.chw_axes);
    OwnedRef batched = chw ? OwnedRef::steal(PyObject_GetItem(chw.get(), C.batch_index)) : OwnedRef();
    if (!batched) return nullptr;

    site.at(24);
    OwnedRef tensor = call_method(np.get(), S.ascontiguousarray, batched.get());
    OwnedRef int64 = tensor ? get_attr(np.get(), S.int64) : OwnedRef();
    OwnedRef wh = int64 ? OwnedRef::steal(Py_BuildValue("[[OO]]", hw[1].get(), hw[0].get())) : OwnedRef();
    OwnedRef array = wh ? get_attr(np.get(), S.array) : OwnedRef();
    OwnedRef sizes = array ? call_kw(array.get(), {wh.get()}, C.kw_dtype, {int64.get()}) : OwnedRef();
    if (!sizes) return nullptr;
    return PyTuple_Pack(2, tensor.get(), sizes.get());
}

// ---------------------------------------------------------------------------
// DfineDetector.detect

// `x.astype(np.float16, copy=False)` for a C-contiguous float32 array, done
// natively: numpy's cast takes longer than the whole fused preprocessing.
// The bits are numpy's; values the native cast does not cover exactly, or
// anything but the module's own numpy and arrays, leave an empty reference
// without an exception, and numpy does the cast.
OwnedRef cast_to_half(PyObject* x, PyObject* dtype, Frame& site) {
    if (!g_bound.float16 || dtype != g_bound.float16 || !g_bound.ndarray ||
        Py_TYPE(x) != reinterpret_cast<PyTypeObject*>(g_bound.ndarray) || !is_bound(site, S.np, g_bound.np)) {
        PyErr_Clear();
        return {};
    }
    BufferView input;
    if (!input.acquire(x, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT)) {
        PyErr_Clear();
        return {};
    }
    const Py_buffer& in = input.view;
    if (in.itemsize != 4 || !in.format || std::strcmp(in.format, "f") != 0) return {};
    BufferView output;
    OwnedRef half = empty_for_native(g_bound.float16, 'e', in.shape, in.ndim, output);
    if (!half) return {};
    bool exact = false;
    const float* src = static_cast<const float*>(in.buf);
    uint16_t* dst = static_cast<uint16_t*>(output.view.buf);
    const size_t count = static_cast<size_t>(in.len / 4);
    run_without_gil([&] { exact = float_to_half_exact(src, dst, count); });
    return exact ? half : OwnedRef();
}

// `self.session.run(None, feed)` unpacked into three outputs.  Any Exception
// here becomes DetectError("detect inference failed: ...") from it.
bool run_session(PyObject* self, PyObject* x, PyObject* sizes, Frame& site, OwnedRef* outputs) {
    site.at(17);
    OwnedRef session = get_attr(self, S.session);
    OwnedRef feed = session ? OwnedRef::steal(PyDict_New()) : OwnedRef();
    bool ok = feed && PyDict_SetItem(feed.get(), C.feed_images, x) == 0 &&
              PyDict_SetItem(feed.get(), C.feed_sizes, sizes) == 0;
    if (ok) {
        site.at(19);
        OwnedRef result = call_method(session.get(), S.run, Py_None, feed.get());
        ok = result && unpack(result.get(), outputs, 3);
    }
    if (ok) return true;
    CaughtError caught(site);
    if (!caught.matches(PyExc_Exception)) {
        caught.reraise();
        return false;
    }
    site.at(21);
    OwnedRef text = OwnedRef::steal(PyObject_Str(caught.value()));
    OwnedRef message = text ? OwnedRef::steal(PyUnicode_Concat(C.inference_prefix, text.get())) : OwnedRef();
    OwnedRef detect_error = message ? global(site, S.DetectError) : OwnedRef();
    if (detect_error) caught.raise_from(detect_error.get(), message.get());
    return false;
}

// One kept row: (label, box, score) -> Detection(cls_id=, cls_name=, conf=, xyxy=).
OwnedRef make_detection(PyObject* self, PyObject* label, PyObject* box, PyObject* score, Frame& site) {
    site.at(30);
    OwnedRef corners[4];
    if (!unpack(box, corners, 4)) return {};
    site.at(31);
    OwnedRef cid = OwnedRef::steal(PyNumber_Long(label));
    if (!cid) return {};
    site.at(32);
    OwnedRef names = get_attr(self, S.names);
    OwnedRef fallback = names ? OwnedRef::steal(PyObject_Str(cid.get())) : OwnedRef();
    OwnedRef name = fallback ? call_method(names.get(), S.get, cid.get(), fallback.get()) : OwnedRef();
    if (!name) return {};
    OwnedRef conf = OwnedRef::steal(PyNumber_Float(score));
    if (!conf) return {};
    OwnedRef xyxy = OwnedRef::steal(PyTuple_New(4));
    if (!xyxy) return {};
    for (int i = 0; i < 4; ++i) {
        PyObject* v = PyNumber_Long(corners[i].get());
        if (!v) return {};
        PyTuple_SET_ITEM(xyxy.get(), i, v);
    }
    site.at(33);
    OwnedRef detection = global(site, S.Detection);
    if (!detection) return {};
    PyObject* argv[] = {cid.get(), name.get(), conf.get(), xyxy.get()};
    return OwnedRef::steal(PyObject_Vectorcall(detection.get(), argv, 0, C.kw_detection));
}

PyObject* detect_impl(PyObject* const* args, Frame& site) {
    PyObject* self = args[0];
    PyObject* image = args[1];
    PyObject* conf = args[2];

    site.at(11);
    OwnedRef np = global(site, S.np);
    OwnedRef ndarray = np ? get_attr(np.get(), S.ndarray) : OwnedRef();
    int usable = ndarray ? PyObject_IsInstance(image, ndarray.get()) : -1;
    if (usable > 0) {
        OwnedRef size = get_attr(image, S.size);
        int empty = size ? compare(size.get(), C.zero, Py_EQ) : -1;
        usable = empty < 0 ? -1 : !empty;
    }
    if (usable < 0) return nullptr;
    if (!usable) {
        site.at(12);
        OwnedRef detect_error = global(site, S.DetectError);
        if (detect_error) raise_new(detect_error.get(), C.bad_input);
        return nullptr;
    }

    site.at(14);
    OwnedRef prepared = call_method(self, S._preprocess, image);
    OwnedRef inputs[2];
    if (!prepared || !unpack(prepared.get(), inputs, 2)) return nullptr;
    site.at(15);
    OwnedRef dtype = get_attr(self, S._image_dtype);
    if (!dtype) return nullptr;
    OwnedRef x = cast_to_half(inputs[0].get(), dtype.get(), site);
    if (!x && !PyErr_Occurred()) {
        OwnedRef astype = get_attr(inputs[0].get(), S.astype);
        x = astype ? call_kw(astype.get(), {dtype.get()}, C.kw_copy_false, {Py_False}) : OwnedRef();
    }
    if (!x) return nullptr;

    OwnedRef outputs[3];
    if (!run_session(self, x.get(), inputs[1].get(), site, outputs)) return nullptr;

    site.at(23);
    OwnedRef labels = OwnedRef::steal(PyObject_GetItem(outputs[0].get(), C.zero));
    OwnedRef boxes = labels ? OwnedRef::steal(PyObject_GetItem(outputs[1].get(), C.zero)) : OwnedRef();
    OwnedRef scores = boxes ? OwnedRef::steal(PyObject_GetItem(outputs[2].get(), C.zero)) : OwnedRef();
    if (!scores) return nullptr;
    site.at(24);
    OwnedRef threshold = OwnedRef::steal(PyNumber_Float(conf));
    OwnedRef keep = threshold ? OwnedRef::steal(PyObject_RichCompare(scores.get(), threshold.get(), Py_GE)) : OwnedRef();
    if (!keep) return nullptr;

    site.at(25);
    OwnedRef result = OwnedRef::steal(PyList_New(0));
    if (!result) return nullptr;
    site.at(26);
    // zip(labels[keep], boxes[keep], scores[keep]): all three selections, then the iterators.
    OwnedRef columns[3] = {labels, boxes, scores};
    OwnedRef kept[3];
    for (int i = 0; i < 3; ++i) {
        kept[i] = OwnedRef::steal(PyObject_GetItem(columns[i].get(), keep.get()));
        if (!kept[i]) return nullptr;
    }
    OwnedRef iters[3];
    for (int i = 0; i < 3; ++i) {
        iters[i] = OwnedRef::steal(PyObject_GetIter(kept[i].get()));
        if (!iters[i]) return nullptr;
    }
    for (;;) {
        OwnedRef row[3];
        for (int i = 0; i < 3; ++i) {
            row[i] = OwnedRef::steal(PyIter_Next(iters[i].get()));
            if (!row[i]) return PyErr_Occurred() ? nullptr : result.release();  // zip stops at the shortest
        }
        OwnedRef detection = make_detection(self, row[0].get(), row[1].get(), row[2].get(), site);
        if (!detection) return nullptr;
        site.at(34);
        if (PyList_Append(result.get(), detection.get()) < 0) return nullptr;
    }
}

// ---------------------------------------------------------------------------
// Shared detector and probes

// The body of `with _LOCK:` in get_detector: look up, construct if missing, read.
OwnedRef cached_or_new(PyObject* key, PyObject* model, PyObject* device_key, Frame& site) {
    site.at(6);
    OwnedRef cache = global(site, S._CACHE);
    int present = cache ? PySequence_Contains(cache.get(), key) : -1;
    if (present < 0) return {};
    if (!present) {
        site.at(7);
        OwnedRef cls = global(site, S.DfineDetector);
        int automatic = cls ? compare(device_key, C.auto_, Py_EQ) : -1;
        if (automatic < 0) return {};
        OwnedRef detector = call(cls.get(), model, automatic ? Py_None : device_key);
        if (!detector) return {};
        site.at(8);
        OwnedRef cache_now = global(site, S._CACHE);
        if (!cache_now || PyObject_SetItem(cache_now.get(), key, detector.get()) < 0) return {};
    }
    site.at(9);
    OwnedRef cache_now = global(site, S._CACHE);
    return cache_now ? OwnedRef::steal(PyObject_GetItem(cache_now.get(), key)) : OwnedRef();
}

PyObject* get_detector_impl(PyObject* const* args, Frame& site) {
    PyObject* model = args[0];
    PyObject* device = args[1];

    site.at(2);
    int named = PyObject_IsTrue(device);
    if (named < 0) return nullptr;
    site.at(3);
    OwnedRef key = OwnedRef::steal(PyTuple_Pack(2, model, named ? device : C.auto_));
    if (!key) return nullptr;
    PyObject* device_key = PyTuple_GET_ITEM(key.get(), 1);

    // `with _LOCK:` as the statement runs it: __enter__ and __exit__ looked
    // up on the type, both before entering.
    site.at(4);
    OwnedRef lock = global(site, S._LOCK);
    if (!lock) return nullptr;
    OwnedRef enter = lookup_special(lock.get(), S.__enter__);
    OwnedRef exit = enter ? lookup_special(lock.get(), S.__exit__) : OwnedRef();
    if (!exit) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_TypeError, "'%.200s' object does not support the context manager protocol%s",
                         Py_TYPE(lock.get())->tp_name, enter ? " (missed __exit__ method)" : "");
        return nullptr;
    }
    if (!call(enter.get())) return nullptr;  // what __enter__ returns is not kept
    OwnedRef detector = cached_or_new(key.get(), model, device_key, site);
    if (detector) {
        OwnedRef exited = call(exit.get(), Py_None, Py_None, Py_None);
        return exited ? detector.release() : nullptr;
    }
    // Leave the with-block by exception: the lock is released on this way out too.
    CaughtError caught(site);
    PyObject* value = caught.value();
    PyObject* tb = PyException_GetTraceback(value);
    OwnedRef tb_ref = OwnedRef::steal(tb);
    OwnedRef exited = call(exit.get(), reinterpret_cast<PyObject*>(Py_TYPE(value)), value, tb ? tb : Py_None);
    if (!exited) return nullptr;  // the caught exception becomes its context
    int suppressed = PyObject_IsTrue(exited.get());
    if (suppressed < 0) return nullptr;
    if (suppressed) {
        caught.discard();
        Py_RETURN_NONE;
    }
    caught.reraise();
    return nullptr;
}

PyObject* available_impl(PyObject* const*, Frame& site) {
    site.at(2);
    OwnedRef probe = global(site, S.is_available);
    return probe ? call(probe.get()).release() : nullptr;
}

// ---------------------------------------------------------------------------
// The module body

constexpr const char* kParamsModel[] = {"model"};
constexpr const char* kParamsDevice[] = {"device"};
constexpr const char* kParamsInit[] = {"self", "model", "device"};
constexpr const char* kParamsPreprocess[] = {"self", "image"};
constexpr const char* kParamsDetect[] = {"self", "image", "conf", "iou"};
constexpr const char* kParamsGetDetector[] = {"model", "device"};

const FunctionDef kIsAvailable{"is_available", "is_available", kIsAvailableDoc, kParamsModel, 1, 96,
                               is_available_impl};
const FunctionDef kProviders{"_providers", "_providers", kProvidersDoc, kParamsDevice, 1, 101, providers_impl};
const FunctionDef kInit{"__init__", "DfineDetector.__init__", nullptr, kParamsInit, 3, 117, init_impl};
const FunctionDef kPreprocess{"_preprocess", "DfineDetector._preprocess", kPreprocessDoc, kParamsPreprocess, 2, 148,
                              preprocess_impl};
const FunctionDef kDetect{"detect", "DfineDetector.detect", kDetectDoc, kParamsDetect, 4, 184, detect_impl};
const FunctionDef kGetDetector{"get_detector", "get_detector", kGetDetectorDoc, kParamsGetDetector, 2, 226,
                               get_detector_impl};
const FunctionDef kAvailable{"available", "available", kAvailableDoc, nullptr, 0, 236, available_impl};

struct Body {
    PyObject* module;
    PyObject* dict;
    PyObject* name;      // the full dotted name, for __module__
    PyObject* filename;  // for code objects
    Frame& site;

    bool bind(PyObject* name_, OwnedRef value) { return value && PyDict_SetItem(dict, name_, value.get()) == 0; }
    bool bind(PyObject* name_, PyObject* value) { return value && PyDict_SetItem(dict, name_, value) == 0; }
    OwnedRef read(PyObject* name_) { return global(site, name_); }

    OwnedRef import(const char* module_name) {
        OwnedRef n = OwnedRef::steal(PyUnicode_FromString(module_name));
        return n ? OwnedRef::steal(PyImport_ImportModuleLevelObject(n.get(), dict, nullptr, nullptr, 0)) : OwnedRef();
    }

    // `from package import member`, with the interpreter's fallback to a
    // submodule and its ImportError when neither exists.
    OwnedRef import_from(const char* package, const char* member) {
        OwnedRef pkg_name = OwnedRef::steal(PyUnicode_FromString(package));
        OwnedRef member_name = OwnedRef::steal(PyUnicode_FromString(member));
        OwnedRef fromlist = member_name ? OwnedRef::steal(PyTuple_Pack(1, member_name.get())) : OwnedRef();
        if (!pkg_name || !fromlist) return {};
        OwnedRef pkg = OwnedRef::steal(PyImport_ImportModuleLevelObject(pkg_name.get(), dict, nullptr, fromlist.get(), 0));
        if (!pkg) return {};
        OwnedRef value = get_attr(pkg.get(), member_name.get());
        if (value || !PyErr_ExceptionMatches(PyExc_AttributeError)) return value;
        PyErr_Clear();
        // The submodule, found in the registry under the package's own name.
        OwnedRef pkg_name_now = get_attr(pkg.get(), S.__name__);
        if (pkg_name_now && PyUnicode_Check(pkg_name_now.get())) {
            OwnedRef full = OwnedRef::steal(PyUnicode_FromFormat("%U.%U", pkg_name_now.get(), member_name.get()));
            PyObject* sub = full ? PyDict_GetItemWithError(PyImport_GetModuleDict(), full.get()) : nullptr;
            if (sub) return OwnedRef::borrow(sub);
            if (PyErr_Occurred()) return {};
        } else {
            pkg_name_now = OwnedRef();
        }
        PyErr_Clear();
        OwnedRef shown = pkg_name_now ? pkg_name_now : OwnedRef::steal(PyUnicode_FromString("<unknown module name>"));
        OwnedRef path = OwnedRef::steal(PyModule_GetFilenameObject(pkg.get()));
        if (!shown) return {};
        OwnedRef message;
        if (!path || !PyUnicode_Check(path.get())) {
            PyErr_Clear();
            path = OwnedRef();
            message = OwnedRef::steal(PyUnicode_FromFormat("cannot import name %R from %R (unknown location)",
                                                           member_name.get(), shown.get()));
        } else {
            const char* fmt = package_initializing(pkg.get())
                                  ? "cannot import name %R from partially initialized module %R "
                                    "(most likely due to a circular import) (%S)"
                                  : "cannot import name %R from %R (%S)";
            message = OwnedRef::steal(PyUnicode_FromFormat(fmt, member_name.get(), shown.get(), path.get()));
        }
        if (message) PyErr_SetImportError(message.get(), pkg_name_now.get(), path.get());
        return {};
    }

    // Whether the package is still running its own import (a circular import).
    static bool package_initializing(PyObject* pkg) {
        OwnedRef spec = get_attr(pkg, S.__spec__);
        OwnedRef flag = spec ? get_attr(spec.get(), S._initializing) : OwnedRef();
        int initializing = flag ? PyObject_IsTrue(flag.get()) : 0;
        PyErr_Clear();
        return initializing > 0;
    }

    // A class statement's namespace starts with __module__ and __qualname__,
    // then holds the body's names in order.
    OwnedRef make_class(PyObject* metatype, const char* cls_name, PyObject* bases, PyObject* body) {
        OwnedRef qualname = OwnedRef::steal(PyUnicode_FromString(cls_name));
        OwnedRef ns = qualname ? OwnedRef::steal(PyDict_New()) : OwnedRef();
        if (!ns || PyDict_SetItem(ns.get(), S.__module__, name) < 0 ||
            PyDict_SetItem(ns.get(), S.__qualname__, qualname.get()) < 0 || PyDict_Update(ns.get(), body) < 0)
            return {};
        return OwnedRef::steal(PyObject_CallFunction(metatype, "sOO", cls_name, bases, ns.get()));
    }

    OwnedRef function(const FunctionDef& def, PyObject* defaults, std::initializer_list<const char*> annotations) {
        OwnedRef ann = OwnedRef::steal(PyDict_New());
        if (!ann) return {};
        for (auto it = annotations.begin(); it != annotations.end(); it += 2) {
            OwnedRef text = OwnedRef::steal(PyUnicode_FromString(it[1]));
            if (!text || PyDict_SetItemString(ann.get(), it[0], text.get()) < 0) return {};
        }
        return OwnedRef::steal(make_function(def, name, filename, dict, defaults, ann.get()));
    }

    bool run();
    bool remember_libraries();
    bool define_records();
    bool define_detector(PyObject* default_model);
};

// "major.minor..." as two numbers; false for anything else.
bool parse_release(const char* text, int& major, int& minor) {
    int* parts[] = {&major, &minor};
    for (int i = 0; i < 2; ++i) {
        if (i == 1 && *text++ != '.') return false;
        if (*text < '0' || *text > '9') return false;
        *parts[i] = 0;
        for (; *text >= '0' && *text <= '9'; ++text) {
            if (*parts[i] > 9999) return false;
            *parts[i] = *parts[i] * 10 + (*text - '0');
        }
    }
    return true;
}

// Pillow's release from `PIL.__version__`; false without an exception when
// that is missing or not a readable version string.
bool read_pillow_release(int& major, int& minor) {
    OwnedRef pil = OwnedRef::steal(PyImport_ImportModule("PIL"));
    OwnedRef version = pil ? get_attr(pil.get(), S.__version__) : OwnedRef();
    const char* text = version && PyUnicode_Check(version.get()) ? PyUnicode_AsUTF8(version.get()) : nullptr;
    PyErr_Clear();
    return text && parse_release(text, major, minor);
}

// The objects the fused path is allowed to stand in for; false when one is
// missing or is not what the kernel reproduces (the fused path then stays off).
bool watch_library_names(BoundLibraries& bound) {
    OwnedRef image_class = get_attr(bound.image, S.Image);
    if (!image_class || !PyType_Check(image_class.get())) return false;
    for (size_t i = 0; i < kWatchedCount; ++i) {
        const WatchedName& w = kWatchedNames[i];
        PyObject* owner = w.owner == Owner::cv2     ? bound.cv2
                          : w.owner == Owner::image ? bound.image
                          : w.owner == Owner::np    ? bound.np
                                                    : image_class.get();
        OwnedRef name = OwnedRef::steal(PyUnicode_InternFromString(w.name));
        OwnedRef seen = name ? get_attr(owner, name.get()) : OwnedRef();
        if (!seen) return false;
        if (w.constant >= 0 && (!PyLong_Check(seen.get()) || PyLong_AsLong(seen.get()) != w.constant)) return false;
        bound.watched[i] = {Py_NewRef(owner), name.release(), seen.release()};
    }
    return true;
}

void release(BoundLibraries& bound) {
    Py_XDECREF(bound.cv2);
    Py_XDECREF(bound.image);
    Py_XDECREF(bound.np);
    Py_XDECREF(bound.ndarray);
    Py_XDECREF(bound.float16);
    Py_XDECREF(bound.empty);
    for (Watched& w : bound.watched) {
        Py_XDECREF(w.owner);
        Py_XDECREF(w.name);
        Py_XDECREF(w.seen);
    }
}

bool Body::remember_libraries() {
    OwnedRef cv2 = read(S.cv2), image = read(S.Image), np = read(S.np);
    OwnedRef ndarray = np ? get_attr(np.get(), S.ndarray) : OwnedRef();
    OwnedRef float16 = ndarray ? get_attr(np.get(), S.float16) : OwnedRef();
    if (!cv2 || !image || !ndarray || !float16) return false;
    // The pass order depends on Pillow's release; an unreadable version keeps
    // every image on the library path.
    int major = 0, minor = 0;
    const bool known = read_pillow_release(major, minor);
    BoundLibraries bound;
    bound.cv2 = cv2.release();
    bound.image = image.release();
    bound.np = np.release();
    bound.ndarray = ndarray.release();
    bound.float16 = float16.release();
    bound.empty = get_attr(bound.np, S.empty).release();
    bound.pass_order = pass_order_for_pillow(major, minor);
    bound.fused_preprocess = known && bound.empty && watch_library_names(bound);
    PyErr_Clear();  // a name not found only keeps the fused path off
    std::swap(g_bound, bound);
    // A failed earlier import's references are dropped now, under the import lock.
    release(bound);
    return true;
}

bool Body::define_records() {
    site.line = 72;
    OwnedRef bases = OwnedRef::steal(PyTuple_Pack(1, PyExc_RuntimeError));
    OwnedRef ns = OwnedRef::steal(Py_BuildValue("{s:s}", "__doc__", kDetectErrorDoc));
    if (!bases || !ns || !bind(S.DetectError, make_class(reinterpret_cast<PyObject*>(&PyType_Type), "DetectError",
                                                         bases.get(), ns.get())))
        return false;

    site.line = 76;
    OwnedRef fields = OwnedRef::steal(Py_BuildValue("{s:s,s:s,s:s,s:s,s:s}", "cls_id", "int", "cls_name", "str", "conf",
                                                    "float", "xyxy", "tuple[int, int, int, int]", "obb",
                                                    "tuple[float, ...] | None"));
    OwnedRef record_ns = OwnedRef::steal(
        Py_BuildValue("{s:O,s:s,s:O}", "__annotations__", fields.get(), "__doc__", kDetectionDoc, "obb", Py_None));
    OwnedRef no_bases = OwnedRef::steal(PyTuple_New(0));
    if (!fields || !record_ns || !no_bases) return false;
    OwnedRef plain = make_class(reinterpret_cast<PyObject*>(&PyType_Type), "Detection", no_bases.get(), record_ns.get());
    OwnedRef dataclass = plain ? read(S.dataclass) : OwnedRef();
    return dataclass && bind(S.Detection, call(dataclass.get(), plain.get()));
}

bool Body::define_detector(PyObject* default_model) {
    site.line = 114;
    OwnedRef init_defaults = OwnedRef::steal(PyTuple_Pack(2, default_model, Py_None));
    OwnedRef detect_defaults = OwnedRef::steal(Py_BuildValue("(dd)", 0.25, 0.45));
    if (!init_defaults || !detect_defaults) return false;
    OwnedRef init = function(kInit, init_defaults.get(), {"model", "str", "device", "str | None", "return", "None"});
    OwnedRef preprocess = function(kPreprocess, nullptr,
                                   {"image", "np.ndarray", "return", "tuple[np.ndarray, np.ndarray]"});
    OwnedRef detect = function(kDetect, detect_defaults.get(),
                               {"image", "np.ndarray", "conf", "float", "iou", "float", "return", "list[Detection]"});
    if (!init || !preprocess || !detect) return false;
    OwnedRef ns = OwnedRef::steal(Py_BuildValue("{s:s,s:O,s:O,s:O}", "__doc__", kDetectorDoc, "__init__", init.get(),
                                                "_preprocess", preprocess.get(), "detect", detect.get()));
    OwnedRef no_bases = OwnedRef::steal(PyTuple_New(0));
    if (!ns || !no_bases) return false;
    return bind(S.DfineDetector,
                make_class(reinterpret_cast<PyObject*>(&PyType_Type), "DfineDetector", no_bases.get(), ns.get()));
}

bool Body::run() {
    site.line = 40;
    if (!bind(S.logging, import("logging"))) return false;
    site.line = 41;
    if (!bind(S.threading, import("threading"))) return false;
    site.line = 42;
    if (!bind(S.dataclass, import_from("dataclasses", "dataclass"))) return false;
    site.line = 44;
    if (!bind(S.cv2, import("cv2"))) return false;
    site.line = 45;
    if (!bind(S.np, import("numpy"))) return false;
    site.line = 46;
    if (!bind(S.Image, import_from("PIL", "Image"))) return false;
    site.line = 48;
    if (!bind(S.weights, import_from("quarn", "weights"))) return false;
    if (!remember_libraries()) return false;

    site.line = 50;
    OwnedRef logging = read(S.logging);
    OwnedRef logger_name = OwnedRef::steal(PyUnicode_FromString("quarn.detect.dfine"));
    if (!logging || !logger_name || !bind(S.logger, call_method(logging.get(), S.getLogger, logger_name.get())))
        return false;

    site.line = 52;
    if (!bind(S.DEFAULT_WEIGHTS, OwnedRef::steal(PyUnicode_FromString("dfine_m_coco.onnx")))) return false;
    site.line = 53;
    if (!bind(S._MODULE, OwnedRef::steal(PyUnicode_FromString("detect")))) return false;
    site.line = 54;
    if (!bind(S._INPUT_SIZE, OwnedRef::steal(PyLong_FromLong(640)))) return false;
    site.line = 56;
    OwnedRef coco = OwnedRef::steal(PyTuple_New(80));
    if (!coco) return false;
    for (Py_ssize_t i = 0; i < 80; ++i) {
        PyObject* entry = PyUnicode_FromString(kCoco80[i]);
        if (!entry) return false;
        PyTuple_SET_ITEM(coco.get(), i, entry);
    }
    if (!bind(S.COCO80, coco)) return false;

    site.line = 68;
    if (!bind(S._CACHE, OwnedRef::steal(PyDict_New()))) return false;
    site.line = 69;
    OwnedRef threading = read(S.threading);
    if (!threading || !bind(S._LOCK, call_method(threading.get(), S.Lock))) return false;

    if (!define_records()) return false;

    // Defaults are fixed now: rebinding DEFAULT_WEIGHTS later changes none.
    OwnedRef default_model = read(S.DEFAULT_WEIGHTS);
    OwnedRef model_defaults = default_model ? OwnedRef::steal(PyTuple_Pack(1, default_model.get())) : OwnedRef();
    if (!model_defaults) return false;
    site.line = kIsAvailable.first_line;
    if (!bind(S.is_available, function(kIsAvailable, model_defaults.get(), {"model", "str", "return", "bool"})))
        return false;
    site.line = kProviders.first_line;
    if (!bind(S._providers, function(kProviders, nullptr, {"device", "str | None", "return", "list[str]"})))
        return false;
    if (!define_detector(default_model.get())) return false;
    site.line = kGetDetector.first_line;
    OwnedRef getter_defaults = OwnedRef::steal(PyTuple_Pack(2, default_model.get(), Py_None));
    if (!getter_defaults ||
        !bind(S.get_detector, function(kGetDetector, getter_defaults.get(),
                                       {"model", "str", "device", "str | None", "return", "DfineDetector"})))
        return false;
    site.line = kAvailable.first_line;
    return bind(S.available, function(kAvailable, nullptr, {"return", "bool"}));
}

// ---------------------------------------------------------------------------
// The loading frame: one module per process, in one interpreter.

// Copies `spec.<attr>` into the module as `key`; a missing attribute is skipped.
bool copy_spec_attr(PyObject* spec, PyObject* attr, PyObject* dict, PyObject* key, bool keep_none) {
    OwnedRef value = get_attr(spec, attr);
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        return true;
    }
    if (!keep_none && value.get() == Py_None) return true;
    return PyDict_SetItem(dict, key, value.get()) == 0;
}

PyObject* create_module(PyObject* spec, PyModuleDef*) {
    int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1 && PyErr_Occurred()) return nullptr;
    if (g_interpreter == -1) {
        g_interpreter = id;
    } else if (g_interpreter != id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per process.");
        return nullptr;
    }
    if (g_module) return Py_NewRef(g_module);
    if (!make_names()) return nullptr;

    OwnedRef name = get_attr(spec, S.name);
    OwnedRef module = name ? OwnedRef::steal(PyModule_NewObject(name.get())) : OwnedRef();
    if (!module) return nullptr;
    PyObject* dict = PyModule_GetDict(module.get());
    if (!copy_spec_attr(spec, S.loader, dict, S.__loader__, true) ||
        !copy_spec_attr(spec, S.origin, dict, S.__file__, true) ||
        !copy_spec_attr(spec, S.parent, dict, S.__package__, true) ||
        !copy_spec_attr(spec, S.submodule_search_locations, dict, S.__path__, false))
        return nullptr;
    return module.release();
}

bool warn_on_version_mismatch() {
    const int major = static_cast<int>((Py_Version >> 24) & 0xff);
    const int minor = static_cast<int>((Py_Version >> 16) & 0xff);
    if (major == 3 && minor == 11) return true;
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d", 3, 11,
                            kFullName, "does not match", major, minor) == 0;
}

bool exec_steps(PyObject* module, PyObject* dict, Frame& site, bool& registered) {
    OwnedRef builtins = OwnedRef::steal(PyImport_ImportModule("builtins"));
    if (!builtins || PyDict_SetItem(dict, S.__builtins__, builtins.get()) < 0) return false;
    if (!warn_on_version_mismatch()) return false;
    if (!make_names() || !make_constants() || ready_function_type() < 0) return false;

    OwnedRef full_name = OwnedRef::steal(PyUnicode_FromString(kFullName));
    OwnedRef filename = OwnedRef::steal(PyUnicode_FromString(kSourceFile));
    if (!full_name || !filename) return false;
    PyObject* registry = PyImport_GetModuleDict();
    int present = PyDict_Contains(registry, full_name.get());
    if (present < 0 || (!present && PyDict_SetItem(registry, full_name.get(), module) < 0)) return false;
    registered = !present;

    Body body{module, dict, full_name.get(), filename.get(), site};
    return body.run();
}

// Takes back the registry entry a failed exec step added, unless someone has
// replaced it since, so that the next import runs the body again.
void unregister(PyObject* module) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    OwnedRef full_name = OwnedRef::steal(PyUnicode_FromString(kFullName));
    PyObject* registry = PyImport_GetModuleDict();
    PyObject* entry = full_name ? PyDict_GetItemWithError(registry, full_name.get()) : nullptr;
    if (entry == module) PyDict_DelItem(registry, full_name.get());
    PyErr_Clear();  // the exec step's own error is the one to report
    PyErr_Restore(type, value, tb);
}

int exec_module(PyObject* module) {
    if (g_module) {
        if (g_module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'dfine_runner' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    g_module = Py_NewRef(module);
    PyObject* dict = PyModule_GetDict(module);
    Frame site{dict, 1, 1};
    bool registered = false;
    if (exec_steps(module, dict, site, registered)) return 0;

    if (PyErr_Occurred()) _PyTraceback_Add("init quarn.inspection.detect.dfine_runner", kSourceFile, site.line);
    if (registered) unregister(module);
    Py_CLEAR(g_module);
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "init quarn.inspection.detect.dfine_runner");
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "dfine_runner",
    kModuleDoc,
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace quarn

PyMODINIT_FUNC PyInit_dfine_runner(void) { return PyModuleDef_Init(&quarn::module_def); }
