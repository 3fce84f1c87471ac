// GroupPreparedDataBuilder: reading every source (full or batched), the check for
// constituent masks, and the versioned payload of build() / build_incremental().
#include <string>

#include "prepare/builder.hpp"

namespace tessary::prep::builder {

namespace {

const args::Signature kBuildSig("build", {},
                                {"dict[str, typing.Any]",
                                 "The full payload, every factor read with its own query (meta key "
                                 "'created_at')."}, true);
const args::Signature kBuildIncrementalSig("build_incremental", {},
                                           {"dict[str, typing.Any]",
                                            "The same payload through one batched factor query with per-name fallback "
                                            "(meta key 'updated_at')."}, true);
const args::Signature kBuildPayloadSig("_build_payload", {{"incremental", Kind::Bool}, {"meta_time_key", Kind::Str}},
                                       {"dict[str, typing.Any]",
                                        "Reads the sources, requires every constituent mask, derives the matrices, "
                                        "assembles the payload."}, true);
const args::Signature kReadSourceSig("_read_source_data", {{"incremental", Kind::Bool}},
                                     {"tuple",
                                      "(source matrices, component masks, benchmark dict, component names)."}, true);
const args::Signature kAssembleSig("_assemble_payload",
                                   {{"data", Kind::Dict},
                                    {"component_matrices", Kind::Dict},
                                    {"benchmark_dict", Kind::Dict},
                                    {"component_names", Kind::List},
                                    {"meta_time_key", Kind::Str}},
                                   {"dict[str, typing.Any]",
                                    "The versioned payload: 'version', 'meta' (dates, components, timestamp) and "
                                    "'data' (base matrices, masks under their dataset keys, 'benchmark_dict')."}, true);

nb::object build(nb::handle self, const args::Bound &) {
    return self.attr("_build_payload")(nb::bool_(false), "created_at");
}

nb::object build_incremental(nb::handle self, const args::Bound &) {
    return self.attr("_build_payload")(nb::bool_(true), "updated_at");
}

nb::object read_source_data(nb::handle self, const args::Bound &a) {
    nb::object component_names = attr("get_component_factor_names")();
    nb::object required = attr("REQUIRED_FACTOR_NAMES");
    nb::object optional = attr("OPTIONAL_FACTOR_NAMES");
    nb::str close_name("Close");
    nb::dict source;
    nb::object component_matrices;
    if (a.flag("incremental")) {
        // One query for every input and component; empty names are re-read one by one.
        nb::list names;
        for (nb::handle name : attr("BUILD_INPUT_NAMES")) names.append(name);
        for (nb::handle name : component_names) names.append(name);
        nb::object batch = self.attr("_read_normal_factor_batch")(names);
        nb::object batch_or_read = self.attr("_batch_or_read");
        source[close_name] = batch_or_read(batch, close_name);
        nb::object reference = source[close_name] * nb::int_(0) + nb::int_(1);
        component_matrices = self.attr("_component_matrices")(component_names, "batch"_a = batch);
        for (nb::handle name : required) {
            if (name.equal(close_name)) continue;
            source[name] = batch_or_read(batch, name);
        }
        nb::object read_or_empty = self.attr("_read_or_empty");
        for (nb::handle name : optional) source[name] = read_or_empty(name, reference, "batch"_a = batch);
    } else {
        nb::object read_one = self.attr("_read_normal_factor_matrix");
        for (nb::handle name : required) source[name] = read_one(name);
        nb::object reference = source[close_name] * nb::int_(0) + nb::int_(1);
        nb::object read_or_empty = self.attr("_read_or_empty");
        for (nb::handle name : optional) source[name] = read_or_empty(name, reference);
        component_matrices = self.attr("_component_matrices")(component_names);
    }
    nb::object benchmark_dict = self.attr("_read_benchmark_dict")();
    return nb::make_tuple(source, component_matrices, benchmark_dict, component_names);
}

nb::object build_payload(nb::handle self, const args::Bound &a) {
    nb::tuple parts = nb::cast<nb::tuple>(self.attr("_read_source_data")(nb::bool_(a.flag("incremental"))));
    if (nb::len(parts) != 4) throw nb::value_error("_read_source_data must return 4 items");
    nb::object source = parts[0], component_matrices = parts[1], benchmark_dict = parts[2],
               component_names = parts[3];
    nb::list missing;
    for (nb::handle name : component_names)
        if (!contains(component_matrices, name)) missing.append(name);
    if (nb::len(missing) > 0) {
        const std::string text = text_of(missing);
        throw nb::value_error(("成分股矩阵缺失，无法精确生成二进制缓存: " + text).c_str());
    }
    nb::object data = self.attr("_build_from_matrices")(source);
    return self.attr("_assemble_payload")(data, component_matrices, benchmark_dict, component_names,
                                          a.obj("meta_time_key"));
}

nb::object assemble_payload(nb::handle self, const args::Bound &a) {
    nb::object key_of = attr("component_dataset_key");
    nb::object component_names = a.obj("component_names");
    nb::dict dataset_keys;
    for (nb::handle name : component_names) dataset_keys[name] = key_of(name);

    nb::dict data;
    data.update(a.obj("data"));
    for (nb::handle item : a.obj("component_matrices").attr("items")()) {
        nb::tuple pair = nb::cast<nb::tuple>(item);
        data[key_of(pair[0])] = pair[1];
    }
    data["benchmark_dict"] = a.obj("benchmark_dict");

    nb::dict meta;
    meta["start_date"] = self.attr("default_start");
    meta["end_date"] = self.attr("end_date");
    meta["ddb_start"] = self.attr("_ddb_start");
    meta["ddb_end"] = self.attr("_ddb_end");
    meta["component_names"] = component_names;
    meta["component_dataset_keys"] = dataset_keys;
    meta[a.obj("meta_time_key")] = pd().attr("Timestamp").attr("now")().attr("isoformat")();

    nb::dict payload;
    payload["version"] = attr("PREPARED_DATA_VERSION");
    payload["meta"] = meta;
    payload["data"] = data;
    return payload;
}

}  // namespace

void add_payload_methods(nb::handle cls) {
    add_methods(cls, {{kBuildSig, build}, {kBuildIncrementalSig, build_incremental}, {kBuildPayloadSig, build_payload},
                      {kReadSourceSig, read_source_data}, {kAssembleSig, assemble_payload}});
}

}  // namespace tessary::prep::builder
